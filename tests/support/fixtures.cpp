#include "support/fixtures.h"

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace fixtures {

std::string dataPath(const std::string& name) { return std::string(ZARVEL_TEST_DATA) + "/" + name; }

std::vector<Row> manifest() {
  std::ifstream in(dataPath("manifest.tsv"));
  std::vector<Row> rows;
  std::string line;
  std::vector<std::string> header;
  auto split = [](const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, '\t')) parts.push_back(part);
    return parts;
  };
  if (std::getline(in, line)) header = split(line);
  while (std::getline(in, line)) {
    const auto parts = split(line);
    Row row;
    for (std::size_t i = 0; i < header.size() && i < parts.size(); ++i) row.fields[header[i]] = parts[i];
    rows.push_back(row);
  }
  return rows;
}

bool readY4m(const std::string& path, Video& video) {
  gzFile file = gzopen(path.c_str(), "rb");  // reads plain files too
  if (!file) return false;
  std::string data;
  char chunk[1 << 16];
  int got;
  while ((got = gzread(file, chunk, sizeof chunk)) > 0) data.append(chunk, static_cast<std::size_t>(got));
  gzclose(file);

  const std::size_t headerEnd = data.find('\n');
  if (data.compare(0, 9, "YUV4MPEG2") != 0 || headerEnd == std::string::npos) return false;
  std::stringstream header(data.substr(10, headerEnd - 10));
  std::string token;
  while (header >> token) {
    if (token[0] == 'W') video.width = std::stoi(token.substr(1));
    if (token[0] == 'H') video.height = std::stoi(token.substr(1));
    if (token[0] == 'F') video.rate = token.substr(1);
    if (token[0] == 'C' && token.compare(0, 4, "C420") != 0) return false;
  }
  const std::size_t frameBytes = static_cast<std::size_t>(video.width) * video.height +
                                 2 * static_cast<std::size_t>((video.width + 1) / 2) * ((video.height + 1) / 2);
  std::size_t pos = headerEnd + 1;
  while (pos < data.size()) {
    const std::size_t lineEnd = data.find('\n', pos);
    if (data.compare(pos, 5, "FRAME") != 0 || lineEnd == std::string::npos) return false;
    pos = lineEnd + 1;
    if (pos + frameBytes > data.size()) return false;
    video.frames.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(pos),
                              data.begin() + static_cast<std::ptrdiff_t>(pos + frameBytes));
    pos += frameBytes;
  }
  return true;
}

double lumaPsnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int width, int height) {
  double sum = 0;
  const std::size_t n = static_cast<std::size_t>(width) * height;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sum += d * d;
  }
  if (sum == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / sum);
}

int runTool(const std::string& tool, const std::string& arguments, std::string* output, bool withErrors) {
  const std::string command = tool + " " + arguments + (withErrors ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  const int status = pclose(pipe);
  if (output) *output = text;
  if (!WIFEXITED(status)) return -1;
  // The shell reports a child killed by a signal as 128 + the signal.
  const int code = WEXITSTATUS(status);
  return code >= 128 ? -1 : code;
}

std::string tempPath(const std::string& suffix) {
  static int counter = 0;
  return "/tmp/zarvel-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + suffix;
}

}  // namespace fixtures
