#pragma once
// The one question of a folder transfer whose files already stand, some of them, at the target:
// "Sobrescrever", "Retomar", "Pular", "Somente se diferente" or "Cancelar" (the default, also
// Esc); the answer holds for every file of the run, as the box says.
#include "queue/Overwrite.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <optional>

class QWidget;

namespace app {

QString OverwriteBoxText(size_t existing);

// The policy for the run, or nothing when the user cancels it.
std::optional<transfer::OverwritePolicy> AskOverwritePolicy(QWidget* parent, size_t existing);

// Set, it answers in place of the box (tests, and callers that decide without asking).
using OverwriteAnswer = std::function<std::optional<transfer::OverwritePolicy>(size_t existing)>;
void SetOverwriteAnswer(OverwriteAnswer answer);

} // namespace app
