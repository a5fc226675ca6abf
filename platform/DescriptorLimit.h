#pragma once

#include <QString>

#include <cstdint>

// Descriptors a process needs beside its lines: its files, logs.mdb and what SQLite opens beside
// it, a server's connection, its threads' wake-ups.
constexpr std::uint64_t FixedDescriptors = 64;

// Raises the soft limit on open files to the hard one, which needs no privilege, and returns
// the limit then in force.
std::uint64_t RaiseDescriptorLimit();

// Empty when Readers lines of PerReader descriptors each fit under Limit beside the fixed few and
// Extra more; else the one line that says how many readers need how many, the limit, and the fix.
QString DescriptorShortfall(std::uint64_t Readers, std::uint64_t PerReader, std::uint64_t Extra, std::uint64_t Limit);
