#pragma once
// ftpdrive's output lines. Standard output carries what the component reports ("event: ",
// "list: ", "entry: ", "pwd: "), standard error its status texts and the error that ends a run.
//
// Standard output goes out a line at a time to a terminal, and in large blocks to a file or a
// pipe: a listing of a hundred thousand lines would otherwise cost as many writes. Whatever it
// holds is written before each line on standard error, so a reader of both streams still sees
// the lines in the order they were made.
#include <exception>
#include <string>
#include <string_view>

namespace ftpdrive {

// Reply lines and listing lines keep their line end; output lines get exactly one.
std::string WithoutLineEnd(std::string text);

// Called once at start-up, before anything is written.
void BufferOutput();
void Out(std::string_view line);
// `prefix` and `text` without its line end, as one line; `text` is the server's, so its control
// characters are shown as escapes.
void Out(std::string_view prefix, std::string_view text);
void Err(const std::string& line);

// "error: CLASS: MESSAGE" (control characters as escapes, line breaks kept), and " (DETAIL)" after
// it when there is a detail: the exception's own text stays as the component gave it, and what
// ftpdrive knows beyond it follows in brackets. `message`, when given, stands in for the
// exception's text (a refusal of several lines, whole).
std::string ErrorLine(const std::exception& error, const std::string& detail = {},
                      const std::string& message = {});
void PrintError(const std::exception& error, const std::string& detail = {},
                const std::string& message = {});

} // namespace ftpdrive
