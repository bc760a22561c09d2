// Test hooks read from the environment at each call:
//   SOFTSKF_FAIL=SKF_Name=0xSTATUS[,SKF_Name=...]  the named function returns
//       that status without doing anything;
//   SOFTSKF_LEFT_ALIGN=1  256-bit values go into the first 32 bytes of their
//       64-byte fields instead of the last 32;
//   SOFTSKF_UNTERMINATED_LISTS=1  name lists lose their final terminators;
//   SOFTSKF_DIALOG_PIN=PIN  answers every application's PIN dialog with PIN;
//       set but empty, no application has a dialog.
#pragma once

#include "skf.h"

#include <optional>
#include <string>

namespace softskf::env {

// The status SOFTSKF_FAIL names for function, if any. Malformed entries are ignored.
std::optional<ULONG> InjectedFailure(const char* function);
bool LeftAlign();
bool UnterminatedLists();
// The PIN SOFTSKF_DIALOG_PIN sets (empty: the dialog is off); nullopt when it
// is unset and each application's own dialog PIN applies.
std::optional<std::string> DialogPin();

}  // namespace softskf::env
