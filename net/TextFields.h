#pragma once
#include <string>

// The index-th field (from 1) of `text` split at every `separator`; empty when there are fewer
// fields. Separators are never collapsed and never part of a field.
std::string ExtractField(const std::string& text, char separator, int index);
