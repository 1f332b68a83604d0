#pragma once
// An account as the in-doubt checks compare it: every attribute a save
// writes, as UTF-8 text keyed by name, so that the journal can keep it.
#include <map>
#include <string>

#include "manager/ManagerApi.h"

std::map<std::string, std::string> accountValues(const IMTUser& user);
