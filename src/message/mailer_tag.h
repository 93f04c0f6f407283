#pragma once
// The program's tag in the messages and articles it sends.

namespace brix {

// Appended (after ", via ") to the "X-Mailer: " header line of every mail
// and the "X-Newsreader: " lines of every article sent.
constexpr const char* kMailerTag = "Brix/W v0.4.2l";

} // namespace brix
