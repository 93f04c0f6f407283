#include "news/newsgroup_list.h"

#include "clients/nntp_client.h"
#include "context/abort.h"
#include "context/job.h"
#include "context/log.h"
#include "context/server.h"
#include "context/settings.h"
#include "display/status_screen.h"
#include "news/group_pointers.h"
#include "news/overview.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/text.h"

#include <algorithm>
#include <unordered_map>

namespace brix {

std::string NewGroupsMarkerLine(const LocalTime& t) {
    return kNewGroupsMarker + FormatNewsDateTime(t);
}

bool IsNewGroupsMarker(const std::string& line) {
    return line.starts_with(kNewGroupsMarker);
}

bool ParseNewGroupsMarker(const std::string& line, LocalTime& t) {
    // 1-based positions 13-14, 15-16, 17-18, a blank, 20-21, 22-23, 24-25.
    static constexpr std::size_t kAt[6] = {12, 14, 16, 19, 21, 23};
    static constexpr int kMax[6] = {99, 12, 31, 23, 59, 59};
    static constexpr int kMin[6] = {0, 1, 1, 0, 0, 0};
    if (!IsNewGroupsMarker(line) || line.size() < 25 || line[18] != ' ') return false;
    int v[6];
    for (int i = 0; i < 6; ++i) {
        const char hi = line[kAt[i]], lo = line[kAt[i] + 1];
        if (hi < '0' || hi > '9' || lo < '0' || lo > '9') return false;
        v[i] = (hi - '0') * 10 + (lo - '0');
        if (v[i] < kMin[i] || v[i] > kMax[i]) return false;
    }
    t.year = v[0] < 80 ? 2000 + v[0] : 1900 + v[0];
    t.month = v[1];
    t.day = v[2];
    t.hour = v[3];
    t.minute = v[4];
    t.second = v[5];
    return true;
}

namespace {

std::string GroupName(const std::string& line) {
    return line.substr(0, line.find(' '));
}

char Folded(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Byte order with ASCII letters folded, independent of the locale, so that
// the host reader sees the same order on every machine.
bool FoldedLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(Folded(x)) < static_cast<unsigned char>(Folded(y));
    });
}

} // namespace

void MergeNewGroups(std::vector<std::string>& list, const std::vector<std::string>& added,
                    const std::function<void()>& every) {
    std::size_t lines = 0;
    auto tick = [&] {
        if (every && ++lines % kLinesPerAbortCheck == 0) every();
    };
    std::unordered_map<std::string, std::size_t> where;
    where.reserve(list.size() + added.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        tick();
        if (!list[i].empty()) where.emplace(GroupName(list[i]), i);
    }
    for (const std::string& line : added) {
        tick();
        auto [it, fresh] = where.emplace(GroupName(line), list.size());
        if (fresh)
            list.push_back(line);
        else
            list[it->second] = line;
    }
    std::stable_sort(list.begin(), list.end(), FoldedLess);
}

namespace {

tbrix_ninf* ListStatus() {
    if (Settings().VerboseMode) return nullptr;
    tbrix_info* screen = StatusScreen();
    return screen ? &screen->NewsLines(1) : nullptr;
}

void Info(const std::string& text) {
    if (tbrix_ninf* status = ListStatus()) status->SetInfo(text);
}

class ListSession {
  public:
    explicit ListSession(const ServerProfile& profile) : profile_(profile) {}
    void Run();

  private:
    void Request();
    void FirstRun();
    void Update();

    const ServerProfile& profile_;
    TNNTPClient client_;
    std::string file_;
};

void ListSession::Run() {
    RunSession(
        client_,
        [&] {
            OpenConnection(client_, profile_, "getnglist", ListStatus());
            Request();
        },
        [this](bool failing) {
            if (TGoodbye bye = SayGoodbye(client_, failing); bye.error)
                std::rethrow_exception(bye.error);
        });
}

void ListSession::Request() {
    file_ = ResolveName(Settings().QvPath + Settings().CurrentBox + ".bl");
    // Any directory entry counts: a file that exists but cannot be read must
    // raise, not be replaced by a fresh list.
    if (EntryExists(file_))
        Update();
    else
        FirstRun();
}

void ListSession::FirstRun() {
    Info("requesting newsgroup list");
    WriteLog("requesting newsgroup list", 1);
    // The server's own clock, read before the list, so that no group created
    // while the list is sent can fall between this run and the next.
    const LocalTime t = client_.ServerDate();
    std::vector<std::string> list;
    client_.List(&list);
    CheckUserAbort();
    const std::string count = "newsgroups: " + std::to_string(list.size());
    Info(count);
    WriteLog(count, 1);
    list.insert(list.begin(), NewGroupsMarkerLine(t));
    ReplaceFile(file_, JoinLines(list, false));
    CheckUserAbort();
}

void ListSession::Update() {
    Info("updating newsgroup list");
    WriteLog("updating newsgroup list", 1);
    std::vector<std::string> list = ReadLines(file_);
    CheckUserAbort();
    // A file without its marker is the user's own: it is left alone.
    if (list.empty() || !IsNewGroupsMarker(list.front())) return;
    LocalTime since;
    if (!ParseNewGroupsMarker(list.front(), since))
        throw ebrix_nntp("Error in newsgroup list " + file_ + ": " + list.front());
    list.erase(list.begin());
    // DATE answers in UTC (RFC 3977 section 7.1), so NEWGROUPS is asked in
    // UTC too; DATE comes first so that the next run asks from a time no
    // later than this answer.
    const LocalTime t = client_.ServerDate();
    std::vector<std::string> added;
    client_.NewGroups(since, true, "", &added);
    CheckUserAbort();
    if (added.empty()) return;
    const std::string count = "new newsgroups: " + std::to_string(added.size());
    Info(count);
    WriteLog(count, 1);
    MergeNewGroups(list, added, CheckUserAbort);
    list.insert(list.begin(), NewGroupsMarkerLine(t));
    ReplaceFile(file_, JoinLines(list, false));
}

} // namespace

void GetNewsgroupList(tbrixconfig& box) {
    if (!box.NNTPLIST) return;
    RunJob("getnglist", [&] {
        for (const ServerProfile& profile : ServerProfiles(box, TProtocol::Nntp))
            ListSession(profile).Run();
    });
}

} // namespace brix
