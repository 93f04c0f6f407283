#pragma once
// The PHO sender filter: addresses whose articles are taken as header only
// and whose mail the fetch job passes over. Its entries are the "brix-pho:"
// lines of a text file that other programs share.

#include <cstdint>
#include <forward_list>
#include <functional>
#include <string>

namespace brix {

// Memory the system could still give us, in bytes (MemAvailable of
// /proc/meminfo, else the free physical pages).
std::uint64_t AvailableMemoryBytes();

class PhoFilter {
  public:
    using MemoryProbe = std::function<std::uint64_t()>;

    // Below this much free memory the filter is not loaded at all.
    static constexpr std::uint64_t kMinFreeMemory = 15000;

    explicit PhoFilter(MemoryProbe probe = AvailableMemoryBytes);
    ~PhoFilter();
    PhoFilter(const PhoFilter&) = delete;
    PhoFilter& operator=(const PhoFilter&) = delete;

    // Opens the file (name resolved without regard to case) for Load. Drops
    // whatever an earlier file left, so a failed open leaves a disabled,
    // empty filter. False when the file cannot be opened.
    bool Open(const std::string& fileName);
    // Reads the opened file to its end into the entry list and closes it.
    // Raises EInOutError when reading fails; the filter then stays disabled.
    void Load();
    // The sender is the "From:" value, already lower-cased by the caller.
    bool Test(const std::string& sender) const;
    // Empty and disabled again; closes a file that was opened but not loaded.
    void Free();

    bool Enabled() const { return enabled_; }
    // Entries in list order (the reverse of the file).
    const std::forward_list<std::string>& Entries() const { return entries_; }

  private:
    void CloseFile();

    MemoryProbe probe_;
    int fd_ = -1;
    std::string fileName_;
    bool enabled_ = false;
    std::forward_list<std::string> entries_;
};

// The one filter of the run: the job sequence opens, loads and frees it per
// box, the fetch jobs test against it.
PhoFilter& ThePhoFilter();
bool PhoOpen(const std::string& fileName);
void PhoLoad();
bool PhoTest(const std::string& sender);
void PhoFree();

} // namespace brix
