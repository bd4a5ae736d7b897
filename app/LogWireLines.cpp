#include "app/LogWireLines.h"

#include <algorithm>

namespace app {

int64_t BlocksOf(const QString& text)
{
    constexpr char16_t kBeginningOfFrame = 0xFDD0;
    constexpr char16_t kEndOfFrame = 0xFDD1;
    int64_t blocks = 1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        if (c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator || c == kBeginningOfFrame ||
            c == kEndOfFrame)
            ++blocks;
    }
    return blocks;
}

void LogWireLines::Append(std::string wire, const QString& shown)
{
    lines_.push_back(std::move(wire));
    firstBlocks_.push_back(blocks_);
    blocks_ += BlocksOf(shown);
}

void LogWireLines::Clear()
{
    std::vector<std::string>().swap(lines_);
    std::vector<int64_t>().swap(firstBlocks_);
    blocks_ = 0;
}

const std::string* LogWireLines::LineAtBlock(int64_t block) const
{
    if (block < 0 || block >= blocks_) return nullptr;
    // The last line that starts at or before the block.
    const auto after = std::upper_bound(firstBlocks_.begin(), firstBlocks_.end(), block);
    return &lines_[static_cast<size_t>(after - firstBlocks_.begin()) - 1];
}

} // namespace app
