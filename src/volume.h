// Which volume a path lies on, told truly: the path is followed to what it
// leads to (a mount point, a junction or a directory link leads to a volume
// of its own), a volume is known by its name, not its 32-bit serial (cloned
// disks share one), and two shares of one server are two volumes.
#pragma once
#include <windows.h>

// Room for an identity, its NUL included.
#define VOLUME_ID_CCH 300

// The identity of the volume that holds what pszPath leads to: the volume's
// GUID name ("\\?\Volume{...}\"), else for a share its root
// ("\\?\UNC\server\share\"), else the 64-bit serial as text. False when it
// cannot be told; compare identities with compareNames.
bool volumeIdentity(const WCHAR *pszPath, WCHAR *pszId);

// Test seam: the identity as the platform tells it.
extern bool (*pfnVolumeIdentity)(const WCHAR *pszPath, WCHAR *pszId);
