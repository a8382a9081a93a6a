#pragma once

#include <string>

// The settings removal flow: asks once, deletes Orrelin's settings key with
// everything below it, and reports the outcome.
namespace Module1 {

// The whole run. Returns after the success box; a cancelled confirmation or
// a failed deletion ends the process inside.
void Main();

// Deletes the key `strKey` below HKEY_CURRENT_USER with all its values and
// subkeys, values first and depth first, the key itself last from its
// parent. A registry link in the tree is deleted as a link, without
// touching the key it points to. Does not return on the first deletion
// that fails, nor where a key cannot be told from a link or a listed name
// holds a separator.
void DeleteKeyTree(const std::u16string& strKey);

// Shows the failure box and ends the process.
[[noreturn]] void ReportFailureAndEnd();

// Shows the box that tells the user the run was stopped by an unexpected
// error; the caller ends the run.
void ReportUnexpectedError();

} // namespace Module1
