#include "store.h"

#include "platform/durable.h"
#include "platform/files.h"
#include "support/text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace brix::loopback {

namespace {

bool AllDigits(const std::string& s) {
    return !s.empty() && s.size() < 18 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Regular files of a directory, in name order, without the hidden ones
// (temporary files of a store in progress start with ".").
std::vector<std::string> FilesOf(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file() && e.path().filename().string()[0] != '.')
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Lines ReadLinesOf(const std::string& path) {
    Lines lines = SplitLines(ReadFileBytes(path));
    return lines;
}

std::string Joined(const Lines& lines) {
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    return out;
}

// Stores bytes under dir + name, never replacing a file; false when taken.
bool StoreNew(const std::string& dir, const std::string& name, const std::string& bytes) {
    NewFile f(dir + "." + name + ".tmp");
    f.Write(bytes);
    f.Sync();
    return f.CommitAs(dir + name);
}

std::int64_t Octets(const Lines& lines) {
    std::int64_t n = 0;
    for (const auto& l : lines)
        n += static_cast<std::int64_t>(l.size()) + 2;
    return n;
}

} // namespace

std::size_t HeaderEnd(const Lines& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].empty()) return i;
    return lines.size();
}

std::string HeaderOf(const Lines& lines, const std::string& name) {
    std::string want = Lower(name) + ":";
    std::size_t end = HeaderEnd(lines);
    for (std::size_t i = 0; i < end; ++i) {
        if (Lower(lines[i].substr(0, want.size())) != want) continue;
        std::string value = lines[i].substr(want.size());
        for (std::size_t j = i + 1; j < end && (lines[j][0] == ' ' || lines[j][0] == '\t'); ++j)
            value += " " + Trimmed(lines[j]);
        return Trimmed(value);
    }
    return "";
}

Users::Users(const std::string& dir) {
    std::string path = dir + "users";
    if (!EntryExists(path)) return;
    open_ = false;
    for (const auto& line : ReadLinesOf(path)) {
        std::string l = Trimmed(line);
        if (l.empty() || l[0] == '#') continue;
        auto blank = l.find_first_of(" \t");
        if (blank == std::string::npos) continue;
        passwords_[l.substr(0, blank)] = Trimmed(l.substr(blank));
    }
}

std::optional<std::string> Users::Password(const std::string& name) const {
    if (open_) return std::string();
    auto it = passwords_.find(name);
    if (it == passwords_.end()) return std::nullopt;
    return it->second;
}

bool Users::Check(const std::string& name, const std::string& password) const {
    auto p = Password(name);
    return p && (open_ || *p == password);
}

Mailbox::Mailbox(const std::string& dir, const std::string& user) {
    // A user name is one path component, never a way out of the mail folder.
    if (user.empty() || user.find('/') != std::string::npos || user[0] == '.') return;
    std::string box = dir + "mail/" + user + "/";
    for (const auto& name : FilesOf(box)) {
        Message m;
        m.path = box + name;
        m.uid = name;
        m.octets = Octets(ReadLinesOf(m.path));
        messages_.push_back(std::move(m));
    }
}

Lines Mailbox::Read(const Message& m) const {
    return ReadLinesOf(m.path);
}

void Mailbox::Commit() {
    for (const auto& m : messages_)
        if (m.deleted) ::unlink(m.path.c_str());
}

Sink::Sink(const std::string& dir) : dir_(dir + "sink/") {
    fs::create_directories(dir_);
    for (const auto& name : FilesOf(dir_)) {
        auto dot = name.find('.');
        std::string stem = name.substr(0, dot);
        if (AllDigits(stem)) next_ = std::max<std::uint64_t>(next_, std::stoull(stem) + 1);
    }
}

std::string Sink::Store(const std::string& from, const std::vector<std::string>& to,
                        const Lines& message) {
    std::string bytes = "X-Envelope-From: <" + from + ">\n";
    for (const auto& t : to)
        bytes += "X-Envelope-To: <" + t + ">\n";
    bytes += Joined(message);
    for (;;) {
        char name[32];
        std::snprintf(name, sizeof name, "%04llu.eml", static_cast<unsigned long long>(next_++));
        if (StoreNew(dir_, name, bytes)) return name;
    }
}

NewsStore::NewsStore(const std::string& dir) : dir_(dir + "news/") {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_, ec)) {
        std::string name = e.path().filename().string();
        if (!e.is_directory() || name[0] == '.') continue;
        Group g;
        g.name = name;
        struct stat st {};
        if (::stat(e.path().c_str(), &st) == 0) g.created = st.st_mtime;
        for (const auto& file : FilesOf(e.path().string() + "/"))
            if (AllDigits(file)) Index(g, std::stoll(file), e.path().string() + "/" + file);
        groups_.emplace(name, std::move(g));
    }
}

void NewsStore::Index(Group& g, std::int64_t number, const std::string& path) {
    std::string id = HeaderOf(ReadLinesOf(path), "Message-ID");
    g.articles[number] = Article{path, id};
    if (!id.empty() && !ids_.count(id)) ids_[id] = Place{g.name, number};
}

const NewsStore::Group* NewsStore::Find(const std::string& name) const {
    auto it = groups_.find(name);
    return it == groups_.end() ? nullptr : &it->second;
}

std::optional<NewsStore::Place> NewsStore::FindId(const std::string& messageId) const {
    auto it = ids_.find(messageId);
    if (it == ids_.end()) return std::nullopt;
    return it->second;
}

Lines NewsStore::Read(const std::string& group, std::int64_t number) const {
    const Group* g = Find(group);
    if (!g || !g->articles.count(number)) return {};
    return ReadLinesOf(g->articles.at(number).path);
}

std::string NewsStore::Overview(const std::string& group, std::int64_t number) const {
    Lines a = Read(group, number);
    std::size_t end = HeaderEnd(a);
    std::int64_t bodyLines = end < a.size() ? static_cast<std::int64_t>(a.size() - end - 1) : 0;
    std::string line = std::to_string(number);
    for (const char* h : {"Subject", "From", "Date", "Message-ID", "References"}) {
        std::string v = HeaderOf(a, h);
        std::replace(v.begin(), v.end(), '\t', ' ');
        line += "\t" + v;
    }
    return line + "\t" + std::to_string(Octets(a)) + "\t" + std::to_string(bodyLines);
}

std::string NewsStore::Post(Lines article, std::string& messageId) {
    std::size_t end = HeaderEnd(article);
    if (end == article.size()) article.push_back("");
    for (const char* h : {"Newsgroups", "From", "Subject"})
        if (HeaderOf(article, h).empty()) return std::string("missing ") + h + " header";
    messageId = HeaderOf(article, "Message-ID");
    if (messageId.empty()) {
        messageId = "<" + std::to_string(std::time(nullptr)) + "." + std::to_string(::getpid()) +
                    "." + std::to_string(++posted_) + "@brix-loopback.invalid>";
        article.insert(article.begin() + static_cast<std::ptrdiff_t>(end),
                       "Message-ID: " + messageId);
    } else if (messageId.front() != '<' || messageId.back() != '>') {
        return "malformed Message-ID";
    } else if (ids_.count(messageId)) {
        return "duplicate article " + messageId;
    }
    std::vector<Group*> targets;
    std::string list = HeaderOf(article, "Newsgroups");
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t comma = list.find(',', pos);
        std::string name =
            Trimmed(list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        auto it = groups_.find(name);
        if (it != groups_.end() &&
            std::find(targets.begin(), targets.end(), &it->second) == targets.end())
            targets.push_back(&it->second);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    if (targets.empty()) return "no such newsgroup: " + list;
    std::string bytes = Joined(article);
    for (Group* g : targets) {
        std::string groupDir = dir_ + g->name + "/";
        std::int64_t n = g->High() + 1;
        while (!StoreNew(groupDir, std::to_string(n), bytes))
            ++n;
        Index(*g, n, groupDir + std::to_string(n));
    }
    return "";
}

} // namespace brix::loopback
