#pragma once
// Hides passwords in request and reply texts before they are logged.
#include <string>

// Returns jsonText with the value of every member named "masterPass",
// "investorPass", "newPass" or "password" (at any depth) replaced by "***";
// all other bytes stay as they are. A value that is not a string (number,
// boolean, array, object) is masked as well, since the records read numbers
// and booleans as password text; null is left. Works on any input in one
// pass: text that is not JSON, truncated text (an unterminated secret is
// masked to the end), escapes, and comments between tokens.
std::string maskPasswords(const std::string& jsonText);
