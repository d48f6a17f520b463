#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Test helpers over tests/data: the manifest, gzip-compressed Y4M references,
// and running the zarvel-decode tool.
namespace fixtures {

std::string dataPath(const std::string& name);

struct Row {
  std::map<std::string, std::string> fields;
  const std::string& operator[](const std::string& key) const { return fields.at(key); }
};
std::vector<Row> manifest();

struct Video {
  int width = 0, height = 0;
  std::string rate;  // "num:den"
  std::vector<std::vector<std::uint8_t>> frames;  // planar 4:2:0, Y then U then V
};
// Reads a Y4M file, plain or gzip-compressed; false when it is not a 4:2:0 Y4M.
bool readY4m(const std::string& path, Video& video);

double lumaPsnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int width, int height);

// Runs the tool with the arguments; returns its exit status, or -1 when it did
// not exit normally (a crash). Its standard output (and standard error too,
// with withErrors) lands in *output.
int runTool(const std::string& tool, const std::string& arguments, std::string* output = nullptr,
            bool withErrors = false);

std::string tempPath(const std::string& suffix);

}  // namespace fixtures
