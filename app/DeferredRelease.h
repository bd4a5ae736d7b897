#pragma once
// Gives back the memory of many small objects a little at a time. The log of a long listing holds
// a hundred thousand strings; freeing them all at once, when the log is cleared for the next
// listing, would hold the window up for several milliseconds. Handed over here, they go a slice
// at a time at the event loop's later passes instead.
#include <QTimer>

#include <memory>
#include <vector>

namespace app {

template <class T> class DeferredRelease {
public:
    DeferredRelease()
    {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] { ReleaseSlice(); });
    }

    // Takes the vector's elements; `items` is left empty.
    void Take(std::vector<T>& items)
    {
        if (items.empty()) return;
        batches_.push_back(std::move(items));
        items = std::vector<T>();
        if (!timer_.isActive()) timer_.start(0);
    }

private:
    static constexpr size_t kSlice = 4096;

    void ReleaseSlice()
    {
        std::vector<T>& batch = batches_.back();
        const size_t keep = batch.size() > kSlice ? batch.size() - kSlice : 0;
        batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(keep), batch.end());
        if (batch.empty()) batches_.pop_back();
        if (!batches_.empty()) timer_.start(0);
    }

    std::vector<std::vector<T>> batches_;
    QTimer timer_;
};

} // namespace app
