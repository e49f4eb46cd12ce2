#pragma once
// The INI commands of vkseal: seal, open and check entries of an INI file.

// Runs "vkseal ini ..." with the arguments after "ini". Returns the process
// exit code (0 success); prints its own messages.
int RunIniCommand(int argc, wchar_t** argv);

// One line per INI command for vkseal's usage text.
void PrintIniUsage();
