#pragma once
// Changes that undo themselves when the scope that made them ends, however it ends: a nesting
// depth counted up and down again, a flag set and given back its old value.
namespace platform {

// One level deeper for as long as it lives.
class ScopedDepth {
public:
    explicit ScopedDepth(int& depth) : depth_(depth) { ++depth_; }
    ~ScopedDepth() { --depth_; }
    ScopedDepth(const ScopedDepth&) = delete;
    ScopedDepth& operator=(const ScopedDepth&) = delete;
    // True for the outermost level.
    bool Outermost() const { return depth_ == 1; }

private:
    int& depth_;
};

// `variable` holds `value` for as long as it lives, then its old value again.
template <class T> class ScopedValue {
public:
    ScopedValue(T& variable, T value) : variable_(variable), saved_(variable) { variable_ = value; }
    ~ScopedValue() { variable_ = saved_; }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

private:
    T& variable_;
    T saved_;
};

} // namespace platform
