#include "app/check.h"

#include "app/run_boxes.h"
#include "context/config.h"
#include "context/server.h"
#include "context/settings.h"
#include "mail/imap_state.h"
#include "mail/spool.h"
#include "news/dupes.h"
#include "news/group_pointers.h"
#include "news/request_file.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/program_end.h"
#include "support/errors.h"
#include "support/text.h"

#include <vector>

namespace brix {

namespace {

class BoxReport {
  public:
    BoxReport(const std::string& name, tbrixconfig& box) : name_(name), box_(box) {}

    // False when a file of the box would end a job or the run.
    bool Clean() const { return clean_ && box_.Warnings.empty() && box_.KeyErrors.empty(); }

    std::vector<std::string> Lines() {
        FillSpoolDefaults(box_, run_.SpoolDir);
        box_.SMTPAUTH = UpperAscii(box_.SMTPAUTH);
        const BoxWork work = DecideWork(box_);
        for (const std::string& w : box_.Warnings)
            Add("warning: " + w);
        // What the jobs would refuse to start with, as they would say it;
        // the servers' own keys are their profiles' (below).
        for (const auto& [key, problem] : box_.KeyErrors)
            if (!IsProfileKey(key)) Add("error: " + problem);
        if (!box_.TLSFINGERPRINT.empty()) Add("TLS certificates accepted: " + box_.TLSFINGERPRINT);
        Mail();
        News();
        Filters();
        Add("jobs: " + Jobs(work));
        return std::move(lines_);
    }

  private:
    void Add(const std::string& line) { lines_.push_back("  " + line); }

    static std::string Keep(const std::string& word) {
        switch (ParseYesNo(word)) {
        case YesNo::Yes:
            return ", kept on the server";
        case YesNo::No:
            return ", deleted on the server";
        default:
            return ", POP3KEEP unknown: nothing is fetched";
        }
    }

    static std::string ImapKeep(const std::string& word) {
        switch (ParseYesNo(word)) {
        case YesNo::Yes:
            return ", keep";
        case YesNo::No:
            return ", delete: stored messages are expunged";
        default:
            return ", IMAPKEEP unknown: nothing is fetched";
        }
    }

    // A folder's UTF-8 name on the CP850 console: a character it lacks as
    // the %XX escapes that write it in the box file.
    static std::string Shown(const std::string& utf8) {
        std::string out;
        for (std::size_t i = 0; i < utf8.size();) {
            const std::size_t start = i;
            char32_t c = 0;
            NextUtf8(utf8, i, c);
            char byte = 0;
            if (c < 0x80)
                out += static_cast<char>(c);
            else if (Cp850Of(c, byte))
                out += byte;
            else
                for (std::size_t k = start; k < i; ++k)
                    out += "%" + IntToBase(static_cast<unsigned char>(utf8[k]), 16, 2);
        }
        return out;
    }

    // An IMAP account's folders; one that cannot be used is the box's error
    // (above).
    std::string Folders(int index) const {
        try {
            std::string names;
            for (const std::string& f : ImapFoldersOf(box_, index))
                names += (names.empty() ? ", folders " : ", ") + Shown(f);
            return names;
        } catch (const Exception&) {
            return ", IMAPFOLDERS unusable: nothing is fetched";
        }
    }

    // The servers as the run reads them; one that it could not use is the
    // error the job would stop with.
    std::vector<ServerProfile> Profiles(TProtocol protocol) {
        if (const std::string problem = ProfileError(box_, protocol); !problem.empty()) {
            Add("error: " + problem);
            clean_ = false;
            return {};
        }
        return ServerProfiles(box_, protocol);
    }

    void Mail() {
        const std::vector<ServerProfile> pops =
            box_.POP3SERVER.empty() ? std::vector<ServerProfile>() : Profiles(TProtocol::Pop3);
        for (const ServerProfile& p : pops)
            Add(DescribeProfile(p) + Keep(ExtractWord(p.index, box_.POP3KEEP)) + ", into " +
                ExtractWord(p.index, box_.POP3SPOOL));
        if (WordCount(box_.POP3SERVER) > 0)
            Add("mail identifiers: " + run_.QvPath + kUidFileName + ", " + run_.QvPath +
                kIdxFileName);
        const std::vector<ServerProfile> imaps =
            box_.IMAPSERVER.empty() ? std::vector<ServerProfile>() : Profiles(TProtocol::Imap);
        for (const ServerProfile& p : imaps)
            Add(DescribeProfile(p) + ImapKeep(ExtractWord(p.index, box_.IMAPKEEP)) +
                Folders(p.index) + ", into " + ExtractWord(p.index, box_.IMAPSPOOL));
        if (WordCount(box_.IMAPSERVER) > 0) Add("IMAP state: " + run_.QvPath + kImapStateName);
        const std::vector<ServerProfile> smtps =
            box_.SMTPSERVER.empty() ? std::vector<ServerProfile>() : Profiles(TProtocol::Smtp);
        for (const ServerProfile& p : smtps) {
            const std::string spool = ExtractWord(p.index, box_.SMTPSPOOL);
            Add(DescribeProfile(p) + ", " + std::to_string(FindFiles(spool + "m*.out").size()) +
                " queued in " + spool);
        }
        if (WordCount(box_.SMTPSERVER) > 0 && box_.SMTPAFTERPOP)
            Add("SMTP after POP, " + std::to_string(box_.SMTPAFTERPOPDELAY) + " s after the fetch");
    }

    void News() {
        if (box_.NNTPSERVER.empty()) return;
        for (const ServerProfile& p : Profiles(TProtocol::Nntp))
            Add(DescribeProfile(p) + ", " +
                std::to_string(FindFiles(box_.NNTPSPOOL + "n*.out").size()) +
                " queued, batches into " + box_.NNTPSPOOL);
        if (box_.NNTPLIST) Add("newsgroup list: " + ResolveName(run_.QvPath + name_ + ".bl"));
        Add("news state: " + run_.QvPath + kDupeFileName + ", " + run_.QvPath + kRequestFileName);
        Groups();
    }

    // The groups as the fetch would read them; a line it would refuse is
    // shown as the error it would end with.
    void Groups() {
        const std::string rc = ResolveName(run_.QvPath + name_ + ".rc");
        if (!EntryExists(rc)) {
            Add("groups: none (" + rc + " does not exist)");
            return;
        }
        std::vector<std::string> groups;
        try {
            for (const std::string& line : ReadLines(rc)) {
                if (!IsGroupLine(line)) continue;
                const GroupLine g = ParseGroupLine(line, rc);
                groups.push_back("    " + g.group + " after " + std::to_string(g.pointer) +
                                 (g.headerOnly ? ", headers only" : ""));
            }
        } catch (const Exception& e) {
            Add("warning: " + e.Message());
            clean_ = false;
        }
        Add("groups of " + rc + ": " + std::to_string(groups.size()));
        for (const std::string& g : groups)
            lines_.push_back(g);
    }

    void Filters() {
        if (!box_.PPP_KILLFILE.empty())
            Add("sender filter: " + box_.PPP_KILLFILE +
                (FileExists(box_.PPP_KILLFILE) ? "" : " (missing: not used)"));
        if (box_.QVSCOREAKTIV && !box_.SCOREFILE.empty()) {
            const std::string scorefile = ScorefileOf(box_, run_.ProgramDir);
            Add("scorefile: " + scorefile);
            // The run could not start its news jobs without it.
            if (!FileExists(ResolveName(scorefile))) {
                Add("error: the scorefile " + scorefile + " cannot be read");
                clean_ = false;
            }
        }
    }

    std::string Jobs(const BoxWork& work) const {
        std::string mail;
        const std::string fetch = work.MailFetch ? "getmail " : "";
        const std::string send = work.MailSend ? "sendmail " : "";
        const std::string imap = work.ImapFetch ? "getimap " : "";
        mail = box_.SMTPAFTERPOP ? fetch + send + imap : send + fetch + imap;
        std::string news;
        if (work.NewsJobs) {
            if (box_.NNTPLIST) news += "getnglist ";
            if (FileMatchExists(box_.NNTPSPOOL + "n*.out")) news += "postnews ";
            news += "getnews";
        }
        std::string all = Trimmed(mail + news);
        return all.empty() ? "none" : all;
    }

    const RunSettings& run_ = Settings();
    std::string name_;
    tbrixconfig& box_;
    std::vector<std::string> lines_;
    bool clean_ = true;
};

} // namespace

int RunCheck() {
    RunSettings& s = Settings();
    Console& con = TheConsole();
    bool clean = true;
    std::string list = s.BoxList;
    try {
        list = ExpandBoxList(s.BoxList,
                             tbrixconfig(BoxFileOf(ExtractWord(1, s.BoxList))).PPP_BOXPAKETE);
    } catch (const Exception&) {
        // The first box's own report below says what is wrong with it.
    }
    con.WriteLine("Host reader: " + s.QvPath + " (spool " + s.SpoolDir + ", logs " + s.LogDir +
                  ")");
    const int boxes = WordCount(list);
    for (int i = 1; i <= boxes; ++i) {
        const std::string name = ExtractWord(i, list);
        const std::string file = BoxFileOf(name);
        con.WriteLine("");
        con.WriteLine("Box " + name + ": " + ResolveName(file));
        try {
            tbrixconfig box(file);
            BoxReport report(name, box);
            for (const std::string& line : report.Lines())
                con.WriteLine(line);
            clean = clean && report.Clean();
        } catch (const Exception& e) {
            con.WriteLine("  error: " + e.Message());
            clean = false;
        }
    }
    return clean ? 0 : kExitCheckWarned;
}

} // namespace brix
