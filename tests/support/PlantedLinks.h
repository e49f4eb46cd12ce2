#pragma once
// Links as a standard user plants them where a privileged process works, and
// removing a test's tree without ever reaching through one.
//
// Wine makes no link through CreateSymbolicLinkW, but reports a Unix symbolic
// link to a folder as a reparse point, as Windows reports a junction; a link
// to a file shows only through the path its handle resolves to. Deleting such
// a link through Wine deletes its target, and the shell's tree deletion
// follows linked folders (and, given a path over 260 characters, empties the
// current folder): tests remove trees with RemoveTree only.
#include <string>

namespace ZelTest {

// Makes link a symbolic link to the existing target, a folder or a file.
bool PlantSymbolicLink(const std::wstring& link, const std::wstring& target);

// Removes a link made by PlantSymbolicLink, never its target.
bool RemovePlantedLink(const std::wstring& link);

// Makes link a second name of the existing file target.
bool PlantHardLink(const std::wstring& link, const std::wstring& target);

// Deletes a folder (a fully qualified path, of any length) and everything in
// it. A link inside is removed as a link; nothing is reached through one.
void RemoveTree(const std::wstring& path);

} // namespace ZelTest
