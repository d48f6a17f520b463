#include "y4m_writer.h"

#include "kolm/sys/sys.h"

Y4mWriter::~Y4mWriter() { close(); }

bool Y4mWriter::open(const std::string& path, int width, int height, int rateNum, int rateDen) {
  close();
  file_ = path == "-" ? stdout : kolm::sys::openFile(path.c_str(), "wb");
  if (!file_) return false;
  width_ = width;
  height_ = height;
  return std::fprintf(file_, "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C420jpeg\n", width, height, rateNum, rateDen) > 0;
}

bool Y4mWriter::write(const std::uint8_t* y, int pitchY, const std::uint8_t* u, const std::uint8_t* v,
                      int pitchC) {
  if (!file_) return false;
  bool ok = std::fputs("FRAME\n", file_) >= 0;
  for (int j = 0; j < height_; ++j)
    ok = ok && std::fwrite(y + static_cast<std::size_t>(j) * pitchY, 1, width_, file_) == static_cast<std::size_t>(width_);
  const int cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
  for (const std::uint8_t* plane : {u, v})
    for (int j = 0; j < ch; ++j)
      ok = ok && std::fwrite(plane + static_cast<std::size_t>(j) * pitchC, 1, cw, file_) == static_cast<std::size_t>(cw);
  return ok;
}

bool Y4mWriter::close() {
  if (!file_) return true;
  const bool ok = file_ == stdout ? std::fflush(file_) == 0 : std::fclose(file_) == 0;
  file_ = nullptr;
  return ok;
}
