#pragma once
// Registration of the installed servers, always from their fully qualified
// installed paths: DllRegisterServer and DllUnregisterServer of a DLL loaded
// by that path, /RegServer and /UnregServer of a local server started by it.
#include <string>

namespace VkInst {

// False, with the reason in failure, when the server refused or could not run.
bool RegisterServer(const std::wstring& path, bool inproc, bool registering, std::wstring& failure);

} // namespace VkInst
