#pragma once
// The component base: an owner that frees what it owns, and the state flags that components read
// (being destroyed, design mode).
#include <vector>

class TComponent {
public:
    explicit TComponent(TComponent* owner);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    // Set while the destructor chain runs, so notifications and events are no longer delivered.
    bool Destroying() const { return destroying_; }
    // A component placed on a form being designed starts nothing.
    bool Designing() const { return designing_; }
    void SetDesigning(bool value) { designing_ = value; }

protected:
    // The most derived destructor calls this first.
    void BeginDestroy() { destroying_ = true; }

private:
    TComponent* owner_;
    std::vector<TComponent*> owned_;
    bool destroying_ = false;
    bool designing_ = false;
};
