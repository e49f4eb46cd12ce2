#pragma once
// Verifications of server files kept for as long as they stay true. A file
// that verified is held open for reading by this process, shared with readers,
// renamers and deleters but never with a writer, so that its bytes cannot
// change while it is held: an uninstallation can still remove or replace it,
// and whatever then stands at its path is another file and is verified anew.
#include <windows.h>

#include <string>
#include <vector>

#include "plinth/Owners.h"

// As OpenVerifiedFile (TrustVerification.h), with the same results, the file
// opened the same way and the same refusals; the signature is not checked
// again when the path names the very file this process verified there under
// the same trusted publishers and has held since, while the signer's
// certificates are still valid. A verification that holds no longer, because
// the path names another file, the publishers changed or the file no longer
// verifies, is forgotten and its file released.
HRESULT OpenVerifiedFileOnce(const wchar_t* path, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file,
                             std::wstring& reason);
