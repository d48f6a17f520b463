#pragma once

#include <cstdint>

namespace kolm {

// Which pictures a seek to a time shows. After a seek the decoder starts at
// a keyframe before the target and delivers, in display order, pictures that
// were already off the screen at the target; only the last of those that
// comes before the target can still be on it. The gate holds that one back
// until the next picture's time says whether it is (its successor comes
// after the target: it is shown, at the target) or not (its successor is
// exactly at the target). The holder keeps the held picture; the gate only
// judges time stamps.
class CSeekGate {
 public:
  enum class Verdict {
    show,             // show this one as it is
    hold,             // keep this one back
    replaceHeld,      // drop the held one and keep this one back instead
    showHeldFirst,    // show the held one (at the target), then this one
    dropHeldAndShow,  // drop the held one, show this one
  };

  // From now on pictures before `target` are judged; frameDuration is the
  // nominal time one picture stays on the screen (for the last picture of a file).
  void arm(std::int64_t target, std::int64_t frameDuration) {
    target_ = target;
    frameDuration_ = frameDuration > 0 ? frameDuration : 1;
    armed_ = true;
    held_ = false;
  }
  bool armed() const { return armed_; }
  bool holding() const { return held_; }
  std::int64_t target() const { return target_; }

  Verdict judge(std::int64_t time) {
    if (!armed_) return Verdict::show;
    if (time < target_) {
      const bool had = held_;
      held_ = true;
      return had ? Verdict::replaceHeld : Verdict::hold;
    }
    armed_ = false;
    if (!held_) return Verdict::show;
    held_ = false;
    return time == target_ ? Verdict::dropHeldAndShow : Verdict::showHeldFirst;
  }

  // The pictures have ended: true when the held picture (stamped heldTime)
  // is still on the screen at the target and is shown; false when there is
  // none or the target lies past the end. Disarms.
  bool finish(std::int64_t heldTime) {
    const bool show = armed_ && held_ && heldTime + frameDuration_ > target_;
    armed_ = held_ = false;
    return show;
  }

 private:
  std::int64_t target_ = 0;
  std::int64_t frameDuration_ = 1;
  bool armed_ = false;
  bool held_ = false;
};

// "90", "1.5", "1:30", "1:02:03.25": seconds, or [h:]m:s, as 100 ns units;
// false for anything else (a negative time, a field out of range, junk).
bool parseTime(const char* text, std::int64_t* time);

}  // namespace kolm
