// The test driver of the window and of headless mode (--script FILE, not in
// the usage): commands, one a line, each run when the one before it is done.
//   drop PATH...                   one drop of these files (no spaces in a path)
//   key [alt+|ctrl+|shift+]NAME    a key press, NAME as SDL names keys (r, f, escape)
//   dblclick                       a left double click in the window
//   quit                           closes the window
//   wait-title TEXT                waits until the title contains TEXT
//   expect-size W H                waits until the client area is W x H
//   expect-fullscreen 0|1          waits until full screen is off / on
//   seek TIME                      seeks to TIME (seconds or [h:]m:s); keys left/right/up/down/home
//                                  seek by 5 s and 60 s and to the start
//   expect-position FROM TO        waits until no seek is under way and playback is between the
//                                  two times
//   expect-on-screen 0|1           waits until the whole window (frame included) is off / on the
//                                  usable area of its screen
//   wait-end                       waits until the file last played has played to its end
//   play-for MS                    lets what plays play MS milliseconds (for benchmarks)
//   timed-drop PATH                drops PATH, waits until its first picture has been shown and
//                                  prints "zarvel: drop to first picture N ms" (for benchmarks)
// A wait that is not met within 10 s, or a command the front end cannot
// take, fails the script: the program then ends with status 3.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPlaybackSession;

// A key press as a script names it.
struct KeyPress {
  std::string name;
  bool alt = false;
  bool ctrl = false;
  bool shift = false;
};
// "alt+r", "escape": false for an unknown modifier or no key name.
bool parseKeyPress(const std::string& text, KeyPress* key);

class CScript {
 public:
  // The front end the commands act on.
  class ITarget {
   public:
    // Starts a drop, key, dblclick or quit command; false when this front
    // end cannot take it.
    virtual bool act(const std::vector<std::string>& command) = 0;
    // Every action started so far has been handled.
    virtual bool settled() = 0;
    virtual std::string title() = 0;
    virtual void clientSize(int* width, int* height) = 0;
    // 1 full screen, 0 not, -1 where there is none; anything else: changing.
    virtual int fullScreen() = 0;
    // The file last played has played to its end.
    virtual bool fileEnded() = 0;
    // Pictures the file playing now has shown (0 while none plays).
    virtual long picturesShown() = 0;
    // Where playback is (100 ns units); false while a seek or an open is under way.
    virtual bool position(std::int64_t* time) = 0;
    // 1 when the whole window, frame included, lies on the usable area of
    // its screen, 0 when it does not, -1 where there is no window or screen.
    virtual int onScreen() = 0;

   protected:
    ~ITarget() = default;
  };

  // False (said on standard error) when the file cannot be read.
  bool load(const std::string& path);
  // Commands are left.
  bool active() const { return next_ < commands_.size(); }
  // A wait is under way: the front end calls run() again soon, even when
  // nothing happens (its conditions are looked at only then).
  bool waiting() const { return deadline_ != 0; }
  // Runs what can run now. False once the script has failed (said on
  // standard error).
  bool run(ITarget& target);

 private:
  bool failed(ITarget& target, const char* what);

  std::vector<std::vector<std::string>> commands_;
  std::size_t next_ = 0;
  std::uint64_t deadline_ = 0;  // of the wait under way; 0 when none is
  std::uint64_t droppedAt_ = 0;  // of the timed drop under way; 0 when none is
  std::uint64_t playUntil_ = 0;  // the end of the play-for under way; 0 when none is
};

// The script's target for a front end without a window (headless mode): a
// drop plays its first file in the session, the keys do what they do in the
// window where that means anything without one, and the client area is the
// size the window would have taken.
class CSessionTarget final : public CScript::ITarget {
 public:
  // Takes the session's onPictureSize, until it goes.
  explicit CSessionTarget(CPlaybackSession& session);
  ~CSessionTarget();
  bool act(const std::vector<std::string>& command) override;
  bool settled() override { return true; }
  std::string title() override;
  void clientSize(int* width, int* height) override;
  int fullScreen() override { return -1; }
  bool fileEnded() override;
  long picturesShown() override;
  bool position(std::int64_t* time) override;
  int onScreen() override { return -1; }
  // Alt+X or quit came.
  bool quitAsked() const { return quit_; }

 private:
  CPlaybackSession& session_;
  int width_ = 640;
  int height_ = 480;
  bool quit_ = false;
};
