#include "program.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/fixtures.h"

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int runZarvel(const std::string& arguments, std::string* out, std::string* err, const std::string& environment) {
  const std::string outPath = fixtures::tempPath(".out");
  const std::string errPath = fixtures::tempPath(".err");
  const std::string command =
      // A playback that never ends fails the test instead of holding it.
      environment + " timeout -k 5 120 " + ZARVEL_PROGRAM + " " + arguments + " >" + outPath + " 2>" + errPath + " </dev/null";
  const int status = std::system(command.c_str());
  if (out) *out = readText(outPath);
  if (err) *err = readText(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  const int code = WEXITSTATUS(status);
  return code >= 128 ? -1 : code;  // the shell's way of saying killed by a signal
}

int lineCount(const std::string& text) {
  std::istringstream in(text);
  int count = 0;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) ++count;
  return count;
}
