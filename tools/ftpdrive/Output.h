#pragma once
// ftpdrive's output lines. Standard output carries what the component reports ("event: ",
// "list: ", "entry: ", "pwd: "), standard error its status texts and the error that ends a run.
// Every line is flushed at once, so a reader sees events in the order they fired.
#include <exception>
#include <string>

namespace ftpdrive {

// Reply lines and listing lines keep their line end; output lines get exactly one.
std::string WithoutLineEnd(std::string text);

void Out(const std::string& line);
void Err(const std::string& line);

// "error: CLASS: MESSAGE", and " (DETAIL)" after it when there is a detail: the exception's own
// text stays as the component gave it, and what ftpdrive knows beyond it follows in brackets.
std::string ErrorLine(const std::exception& error, const std::string& detail = {});
void PrintError(const std::exception& error, const std::string& detail = {});

} // namespace ftpdrive
