#include "apple-engine/platform/speech.h"

namespace norvi::engine {

std::string_view assetStatusName(AssetStatus status) {
    switch (status) {
        case AssetStatus::unsupported:
            return "unsupported";
        case AssetStatus::supported:
            return "supported";
        case AssetStatus::downloading:
            return "downloading";
        case AssetStatus::installed:
            return "installed";
    }
    return "unknown";
}

void AnalyzerInputStream::append(AnalyzerInput input) {
    {
        std::lock_guard lock(mutex_);
        if (finished_)
            return;
        items_.push_back(std::move(input));
    }
    changed_.notify_one();
}

void AnalyzerInputStream::finish() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_one();
}

std::optional<AnalyzerInput> AnalyzerInputStream::next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || !items_.empty(); });
    if (items_.empty())
        return std::nullopt;
    AnalyzerInput input = std::move(items_.front());
    items_.pop_front();
    return input;
}

}  // namespace norvi::engine
