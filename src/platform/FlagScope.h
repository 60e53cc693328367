#pragma once
// A flag that says "this is under way" for as long as a scope runs: set on entry, given back
// the value it had when the scope ends, however it ends (a return, an exception).
namespace pb {

class TFlagScope {
public:
    explicit TFlagScope(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = before_; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag_;
    const bool before_;
};

} // namespace pb
