#pragma once
// The command line of a record keeper (records/RecordKeeper.h): the tool, the
// option "-recordkeeper", then the run's handle and the hand-over's address,
// each as hex digits. A process started with it is a keeper and nothing else:
// it runs no job, and its run log is opened only for the line it writes.

#include <cstdint>
#include <optional>
#include <string>

inline constexpr wchar_t kRecordKeeperOption[] = L"-recordkeeper";

struct KeeperCommandLineValues {
    std::uintptr_t run = 0;       // a handle value, in the keeper's own table
    std::uintptr_t handOver = 0;  // an address in the run's memory
};

// The arguments after the tool's path: "-recordkeeper 1C4 4A7F20".
std::wstring KeeperArgumentsText(const KeeperCommandLineValues& values);
// The values of a keeper's command line, split into arguments: exactly the
// option (in this case), then two numbers of hex digits alone that fit a
// pointer. Nothing for any other command line.
std::optional<KeeperCommandLineValues> KeeperValuesFrom(int argc, const wchar_t* const* argv);
// The values of this process's own command line when it is a keeper's.
std::optional<KeeperCommandLineValues> KeeperValuesOfThisProcess();
