// Drives of the simulated machine: their kind, label and space.
#pragma once

#include "platform/win/types.h"

#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define DRIVE_CDROM 5u
#define DRIVE_RAMDISK 6u

// The kind of the drive whose root is root ("C:\"; a null root is the drive of the current
// folder, Z:), told by the host file system that holds the drive's folder: tmpfs and ramfs
// DRIVE_RAMDISK, a network file system DRIVE_REMOTE, iso9660 or udf DRIVE_CDROM, anything else
// DRIVE_FIXED. A root that names no drive of the machine (or is no root) gives
// DRIVE_NO_ROOT_DIR.
UINT GetDriveTypeW(LPCWSTR root);

// What Windows tells of a volume by its root ("C:\"): the label is always empty (a drive has
// none here), the serial number is the host device's, names up to 255 characters, the flags
// case-preserving and Unicode names, the file-system name the host's ("ext4", "tmpfs", ...).
// Every out pointer may be null; a buffer too small for its text fails with 122. A root that
// names no drive fails with 3.
BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR label, DWORD labelSize, LPDWORD serialNumber,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags,
                           LPWSTR fileSystemName, DWORD fileSystemNameSize);

// The space of the volume of root as Windows counts it: 512-byte sectors, clusters of a power
// of two of sectors (at least the host's fragment size) chosen so that the total cluster count
// fits 32 bits; free clusters are those an unprivileged writer may use. Callers multiply the
// four in 64 bits. A root that names no drive fails with 3.
BOOL GetDiskFreeSpaceW(LPCWSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                       LPDWORD freeClusters, LPDWORD totalClusters);
