// Text that comes from outside the command (file names, link targets, program names,
// Bluetooth device names) made safe to print on a terminal: a control character can
// neither move the cursor nor change colours, and a listing's columns stay columns.
#pragma once

#include <string>
#include <string_view>

enum class EBlanks { keep, escape };

// `text` with every control character (C0, DEL, and C1 written as UTF-8) and every
// backslash shown as \xHH, so that the result reads back unambiguously. With
// EBlanks::escape, spaces are shown as \x20 too, for a field that must stay one word.
std::string plainText(std::string_view text, EBlanks blanks = EBlanks::keep);
