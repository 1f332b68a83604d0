#pragma once
// A planned change as the journal stores it (JSON in the plan column). Plans
// written before a member existed read with that member at its default.
#include <optional>
#include <string>

#include "manager/ChangeGate.h"

std::string planText(const PlannedChange& change);
std::optional<PlannedChange> planFrom(const std::string& text);
// Whether two plans would make the same change on the server, as far as the
// in-doubt check can tell them apart (a deal's action, amount and comment;
// a new account's name, group and e-mail).
bool sameEffect(const PlannedChange& a, const PlannedChange& b);
