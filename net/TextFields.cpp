#include "net/TextFields.h"

std::string ExtractField(const std::string& text, char separator, int index)
{
    std::string result;
    int count = 0;
    for (char c : text) {
        if (count == index) break;
        if (c == separator)
            ++count;
        else if (count == index - 1)
            result += c;
    }
    return result;
}
