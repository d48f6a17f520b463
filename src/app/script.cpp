#include "app/script.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/command_line.h"
#include "kolm/seek_gate.h"
#include "kolm/sys/sys.h"
#include "playback/session.h"

namespace {
constexpr std::uint64_t waitLimitMs = 10000;
}  // namespace

bool parseKeyPress(const std::string& text, KeyPress* key) {
  *key = KeyPress();
  std::string rest = text;
  for (std::size_t plus; (plus = rest.find('+')) != std::string::npos && plus + 1 < rest.size();) {
    const std::string modifier = rest.substr(0, plus);
    if (modifier == "alt")
      key->alt = true;
    else if (modifier == "ctrl")
      key->ctrl = true;
    else if (modifier == "shift")
      key->shift = true;
    else
      return false;
    rest = rest.substr(plus + 1);
  }
  key->name = rest;
  return !rest.empty();
}

bool CScript::load(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "zarvel: cannot read %s\n", printable(path).c_str());
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> command;
    for (std::string word; words >> word;) command.push_back(word);
    if (!command.empty()) commands_.push_back(command);
  }
  return true;
}

bool CScript::run(ITarget& target) {
  while (active() && target.settled()) {
    const std::vector<std::string>& command = commands_[next_];
    const std::string& name = command[0];
    if (name == "drop" || name == "key" || name == "dblclick" || name == "quit" || name == "seek") {
      if (!target.act(command)) return failed(target, "cannot run");
      ++next_;
      continue;
    }
    bool met;
    if (name == "wait-title" && command.size() > 1) {
      std::string text = command[1];
      for (std::size_t i = 2; i < command.size(); ++i) text += " " + command[i];
      met = target.title().find(text) != std::string::npos;
    } else if (name == "expect-size" && command.size() == 3) {
      int width = 0, height = 0;
      target.clientSize(&width, &height);
      met = width == std::atoi(command[1].c_str()) && height == std::atoi(command[2].c_str());
    } else if (name == "expect-fullscreen" && command.size() == 2 && target.fullScreen() >= 0) {
      met = target.fullScreen() == (command[1] == "1" ? 1 : 0);
    } else if (name == "expect-position" && command.size() == 3) {
      // Between two times, as seek takes them; the position of a seek
      // still under way is its target.
      std::int64_t from = 0, to = 0, now = 0;
      if (!kolm::parseTime(command[1].c_str(), &from) || !kolm::parseTime(command[2].c_str(), &to))
        return failed(target, "cannot run");
      met = target.position(&now) && now >= from && now <= to;
    } else if (name == "expect-on-screen" && command.size() == 2 && target.onScreen() >= 0) {
      met = target.onScreen() == (command[1] == "1" ? 1 : 0);
    } else if (name == "wait-end" && command.size() == 1) {
      met = target.fileEnded();
    } else if (name == "play-for" && command.size() == 2) {
      if (playUntil_ == 0) playUntil_ = kolm::sys::milliseconds() + std::strtoull(command[1].c_str(), nullptr, 10);
      met = kolm::sys::milliseconds() >= playUntil_;
      if (met) playUntil_ = 0;
    } else if (name == "timed-drop" && command.size() == 2) {
      if (droppedAt_ == 0) {
        droppedAt_ = kolm::sys::milliseconds();
        if (!target.act({"drop", command[1]})) return failed(target, "cannot run");
        continue;  // looked at once the drop has been handled
      }
      met = target.picturesShown() > 0;
      if (met) {
        std::printf("zarvel: drop to first picture %llu ms\n",
                    static_cast<unsigned long long>(kolm::sys::milliseconds() - droppedAt_));
        std::fflush(stdout);
        droppedAt_ = 0;
      }
    } else {
      return failed(target, "cannot run");
    }
    const std::uint64_t now = kolm::sys::milliseconds();
    if (!met) {
      if (deadline_ == 0) deadline_ = now + waitLimitMs + (playUntil_ ? playUntil_ - now : 0);
      return now <= deadline_ || failed(target, "was not met");
    }
    deadline_ = 0;
    ++next_;
  }
  return true;
}

bool CScript::failed(ITarget& target, const char* what) {
  std::string line;
  for (const auto& word : commands_[next_]) line += (line.empty() ? "" : " ") + word;
  int width = 0, height = 0;
  target.clientSize(&width, &height);
  std::fprintf(stderr, "zarvel: script command \"%s\" %s (title \"%s\", %d x %d)\n", line.c_str(), what,
               target.title().c_str(), width, height);
  next_ = commands_.size();
  deadline_ = droppedAt_ = playUntil_ = 0;
  return false;
}

CSessionTarget::CSessionTarget(CPlaybackSession& session) : session_(session) {
  session_.onPictureSize = [this](int width, int height) {
    width_ = width;
    height_ = height;
  };
}

CSessionTarget::~CSessionTarget() { session_.onPictureSize = nullptr; }

bool CSessionTarget::act(const std::vector<std::string>& command) {
  if (command[0] == "drop") {
    if (command.size() > 1) session_.play(command[1]);  // the first file of a drop
  } else if (command[0] == "key") {
    KeyPress key;
    if (command.size() != 2 || !parseKeyPress(command[1], &key)) return false;
    const Command what = commandForKey(key.name, key.alt, key.ctrl);
    if (what == Command::quit) quit_ = true;
    if (what == Command::switchMode) session_.presentPictures = !session_.presentPictures;
    applyPlaybackCommand(session_, what);
  } else if (command[0] == "seek") {
    std::int64_t time = 0;
    if (command.size() != 2 || !kolm::parseTime(command[1].c_str(), &time)) return false;
    session_.seekTo(time);
  } else if (command[0] == "quit") {
    quit_ = true;
  }
  // Full screen and double clicks change nothing without a window.
  return true;
}

std::string CSessionTarget::title() { return windowTitle(session_); }

void CSessionTarget::clientSize(int* width, int* height) {
  *width = width_;
  *height = height_;
}

bool CSessionTarget::fileEnded() { return session_.ended(); }

long CSessionTarget::picturesShown() { return session_.picturesShown(); }

bool CSessionTarget::position(std::int64_t* time) {
  if (session_.seeking() || session_.opening()) return false;
  *time = session_.position();
  return true;
}
