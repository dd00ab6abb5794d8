// What a found-file record says beyond its name and size, in the system's own
// terms: its times as the engine that made it stored them.
#pragma once

#include <ctime>
#include "engine/FileNode.h"

enum NODE_TIME { NODE_TIME_CREATE, NODE_TIME_ACCESS, NODE_TIME_WRITE };

// One of the record's times as seconds (and nanoseconds) since 1970 UTC. FAT
// engines store seconds, NTFS and exFAT engines 100 ns units since 1601; the
// carver stores none. False when the record holds no plausible time (zero, or before
// 1980 or after 2107, the span a FAT date can name).
bool GetFileNodeTime(const _FILE_NODE_& node, NODE_TIME nWhich, struct timespec& ts);
// The access and modification times for futimens/utimensat: a time the record
// does not hold is UTIME_OMIT. False when it holds neither.
bool GetFileNodeTimes(const _FILE_NODE_& node, struct timespec times[2]);

// How a found file came to be listed: its entry deleted (what a file-system
// engine lists, and deep-parser entries marked deleted), lost (found by the
// deep scan outside the volume's own tree, its entry not marked deleted), or
// found by its signature (carved, without a name or place).
enum NODE_STATE { NODE_STATE_DELETED, NODE_STATE_LOST, NODE_STATE_CARVED };
NODE_STATE GetFileNodeState(const _FILE_NODE_& node);

// Whether a file of u64Size bytes fits in a volume of u64Units units of
// u64UnitBytes bytes: a record that claims more is damaged, not whole.
bool FitsInVolume(uint64_t u64Size, uint64_t u64Units, uint64_t u64UnitBytes);

// The absolute device sector (512 bytes) where the file's data begins: for
// FAT and exFAT records the sector of its first cluster on a volume of nBytesPerSector
// (its boot sector's value: 512, 1024, 2048 or 4096), for carved files the
// start of the carved data. False where the record does not say (NTFS records
// keep it in the volume's run lists; a FAT file without a cluster) or the
// sector size cannot be right.
bool GetFileNodeFirstSector(const _FILE_NODE_& node, unsigned int nBytesPerSector,
                            uint64_t& u64Sector);
