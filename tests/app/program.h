#pragma once

#include <string>

// Runs the zarvel program with the arguments (and the environment settings
// in front, "NAME=VALUE ..."): its exit status (-1 when it did not exit
// normally), standard output and standard error apart.
int runZarvel(const std::string& arguments, std::string* out, std::string* err, const std::string& environment = "");

std::string readText(const std::string& path);

// The non-empty lines of a text.
int lineCount(const std::string& text);
