#pragma once
// Hides passwords in request and reply texts before they are logged.
#include <json/value.h>

#include <string>

// Returns jsonText with the value of every member named "masterPass",
// "investorPass", "newPass" or "password" (at any depth) replaced by "***";
// all other bytes stay as they are. A value that is not a string (number,
// boolean, array, object) is masked as well, since the records read numbers
// and booleans as password text; null is left. Works on any input in one
// pass: text that is not JSON, truncated text (an unterminated secret is
// masked to the end), escapes, and comments between tokens.
std::string maskPasswords(const std::string& jsonText);

// The reply a masked reply was made from: each masked password member
// ("***") gets back the value of the member of the same name in `request`,
// read as the records read it (text; a missing or null member is "") and
// written as replies write text. For a reply built from `request`, this is
// the reply byte for byte. Throws Json::LogicError for a member that cannot
// be read as text (no reply could have been built from it).
std::string restorePasswords(const std::string& maskedReply, const Json::Value& request);
