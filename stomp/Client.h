#pragma once
// The broker client library in one include.
#include "stomp/Connection.h"
#include "stomp/Destination.h"
#include "stomp/Error.h"
#include "stomp/Headers.h"
#include "stomp/IoThread.h"
#include "stomp/Message.h"
