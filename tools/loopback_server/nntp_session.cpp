#include "sessions.h"

#include "support/text.h"

#include <ctime>
#include <map>
#include <optional>

namespace brix::loopback {

namespace {

constexpr std::size_t kMaxArticleBytes = 16u << 20;

bool Number(const std::string& s, std::int64_t& n) {
    if (s.empty() || s.size() > 17 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    n = std::stoll(s);
    return true;
}

// "n", "n-" or "n-m" of RFC 3977 section 8.3.
bool Range(const std::string& s, std::int64_t& low, std::int64_t& high) {
    auto dash = s.find('-');
    if (dash == std::string::npos) return Number(s, low) && Number(s, high);
    if (!Number(s.substr(0, dash), low)) return false;
    if (dash + 1 == s.size()) {
        high = INT64_MAX;
        return true;
    }
    return Number(s.substr(dash + 1), high);
}

// A wildmat of RFC 3977 section 4 without its "," and "!" forms.
bool Wildmat(const char* p, const char* t) {
    if (*p == '\0') return *t == '\0';
    if (*p == '*') return Wildmat(p + 1, t) || (*t && Wildmat(p, t + 1));
    return *t && (*p == '?' || *p == *t) && Wildmat(p + 1, t + 1);
}

// "yymmdd hhmmss" or "yyyymmdd hhmmss" [GMT] of NEWGROUPS (RFC 3977
// section 7.3); a two-digit year is taken in the current century unless
// that puts it in the future (section 7.1.1).
bool ParseSince(const std::string& date, const std::string& time, bool gmt, std::time_t& out) {
    std::int64_t d = 0, t = 0;
    if ((date.size() != 6 && date.size() != 8) || time.size() != 6 || !Number(date, d) ||
        !Number(time, t))
        return false;
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    int year = static_cast<int>(d / 10000);
    if (date.size() == 6) {
        int century = (tm.tm_year + 1900) / 100 * 100;
        year += century;
        if (year > tm.tm_year + 1900) year -= 100;
    }
    std::tm since{};
    since.tm_year = year - 1900;
    since.tm_mon = static_cast<int>(d / 100 % 100) - 1;
    since.tm_mday = static_cast<int>(d % 100);
    since.tm_hour = static_cast<int>(t / 10000);
    since.tm_min = static_cast<int>(t / 100 % 100);
    since.tm_sec = static_cast<int>(t % 100);
    since.tm_isdst = -1;
    out = gmt ? timegm(&since) : std::mktime(&since);
    return true;
}

std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> words;
    std::size_t pos = 0;
    while ((pos = s.find_first_not_of(" \t", pos)) != std::string::npos) {
        auto end = s.find_first_of(" \t", pos);
        words.push_back(s.substr(pos, end - pos));
        pos = end;
    }
    return words;
}

std::string ActiveLine(const NewsStore::Group& g) {
    return g.name + " " + std::to_string(g.High()) + " " + std::to_string(g.Low()) + " y";
}

// What one connection remembers between commands.
struct NntpSession {
    NntpSession(LineSession& session, Stores& st) : s(session), stores(st) {}
    LineSession& s;
    Stores& stores;
    std::string group;        // the selected group (empty: none)
    std::int64_t current = 0; // the current article number (0: none)
    std::string authName;     // AUTHINFO USER waiting for its PASS
};

struct NntpCommand {
    const std::string& verb; // upper case
    const std::string& arg;  // the rest of the line as sent
    const std::vector<std::string>& args;
};

enum class After { Serve, Close };

using NntpHandler = After (*)(NntpSession&, const NntpCommand&);

After Unknown(NntpSession& n, const NntpCommand&) {
    n.s.Send("500 unknown command");
    return After::Serve;
}

After Quit(NntpSession& n, const NntpCommand&) {
    n.s.Send("205 bye");
    return After::Close;
}

After Mode(NntpSession& n, const NntpCommand& c) {
    if (c.args.size() != 1 || UpperAscii(c.args[0]) != "READER") return Unknown(n, c);
    n.s.Send("200 posting allowed");
    return After::Serve;
}

After Capabilities(NntpSession& n, const NntpCommand&) {
    n.s.Send("101 capability list follows");
    n.s.SendBlock(
        {"VERSION 2", "READER", "POST", "OVER", "LIST ACTIVE OVERVIEW.FMT", "AUTHINFO USER"});
    return After::Serve;
}

After Help(NntpSession& n, const NntpCommand&) {
    n.s.Send("100 help text follows");
    n.s.SendBlock({"ARTICLE BODY HEAD STAT [number|<message-id>]", "AUTHINFO USER|PASS",
                   "CAPABILITIES", "DATE", "GROUP name", "LIST [ACTIVE [wildmat]]", "MODE READER",
                   "NEWGROUPS date time [GMT]", "OVER XOVER [range]", "POST", "QUIT"});
    return After::Serve;
}

After Date(NntpSession& n, const NntpCommand&) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "111 %Y%m%d%H%M%S", &tm);
    n.s.Send(buf);
    return After::Serve;
}

After Authinfo(NntpSession& n, const NntpCommand& c) {
    std::string kind = c.args.empty() ? "" : UpperAscii(c.args[0]);
    // A password may hold blanks: everything after the first word.
    auto start = c.arg.find_first_of(" \t", c.arg.find_first_not_of(" \t"));
    std::string value = start == std::string::npos ? "" : Trimmed(c.arg.substr(start));
    if (kind == "USER" && !value.empty()) {
        n.authName = value;
        n.s.Send("381 password required");
    } else if (kind == "PASS" && !n.authName.empty()) {
        bool ok = n.stores.users.Check(n.authName, value);
        n.authName.clear();
        n.s.Send(ok ? "281 authentication accepted" : "481 authentication failed");
    } else if (kind == "PASS") {
        n.s.Send("482 AUTHINFO USER first");
    } else {
        n.s.Send("501 syntax: AUTHINFO USER name or AUTHINFO PASS password");
    }
    return After::Serve;
}

After List(NntpSession& n, const NntpCommand& c) {
    const std::vector<std::string>& args = c.args;
    std::string kind = args.empty() ? "ACTIVE" : UpperAscii(args[0]);
    if (kind == "OVERVIEW.FMT") {
        n.s.Send("215 order of fields in overview database");
        n.s.SendBlock(
            {"Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines"});
    } else if (kind == "ACTIVE" && args.size() <= 2) {
        Lines out;
        for (const auto& [name, g] : n.stores.news.Groups())
            if (args.size() < 2 || Wildmat(args[1].c_str(), name.c_str()))
                out.push_back(ActiveLine(g));
        n.s.Send("215 list of newsgroups follows");
        n.s.SendBlock(out);
    } else {
        n.s.Send("501 only LIST ACTIVE and LIST OVERVIEW.FMT are offered");
    }
    return After::Serve;
}

After Newgroups(NntpSession& n, const NntpCommand& c) {
    const std::vector<std::string>& args = c.args;
    std::time_t since = 0;
    bool gmt = args.size() >= 3 && UpperAscii(args[2]) == "GMT";
    if (args.size() < 2 || !ParseSince(args[0], args[1], gmt, since)) {
        n.s.Send("501 syntax: NEWGROUPS [yy]yymmdd hhmmss [GMT]");
        return After::Serve;
    }
    Lines out;
    for (const auto& [name, g] : n.stores.news.Groups())
        if (g.created >= since) out.push_back(ActiveLine(g));
    n.s.Send("231 list of new newsgroups follows");
    n.s.SendBlock(out);
    return After::Serve;
}

After SelectGroup(NntpSession& n, const NntpCommand& c) {
    const NewsStore::Group* g = c.args.size() == 1 ? n.stores.news.Find(c.args[0]) : nullptr;
    if (c.args.size() != 1) {
        n.s.Send("501 syntax: GROUP name");
    } else if (!g) {
        n.s.Send("411 no such newsgroup");
    } else {
        n.group = g->name;
        n.current = g->articles.empty() ? 0 : g->Low();
        n.s.Send("211 " + std::to_string(g->articles.size()) + " " + std::to_string(g->Low()) +
                 " " + std::to_string(g->High()) + " " + n.group);
    }
    return After::Serve;
}

Lines OverviewLines(const NewsStore& news, const NewsStore::Group& g, const std::string& group,
                    std::int64_t low, std::int64_t high) {
    Lines out;
    for (auto it = g.articles.lower_bound(low); it != g.articles.end() && it->first <= high; ++it)
        out.push_back(news.Overview(group, it->first));
    return out;
}

// XOVER and OVER differ only in the code for an empty range.
After SendOverview(NntpSession& n, const NntpCommand& c) {
    const NewsStore::Group* g = n.stores.news.Find(n.group);
    std::int64_t low = n.current, high = n.current;
    if (!g) {
        n.s.Send("412 no newsgroup selected");
    } else if (c.args.empty() ? n.current == 0 : !Range(c.args[0], low, high)) {
        n.s.Send(c.args.empty() ? "420 no current article" : "501 syntax: OVER [range]");
    } else {
        Lines out = OverviewLines(n.stores.news, *g, n.group, low, high);
        if (out.empty()) {
            n.s.Send(c.verb == "OVER" ? "423 no articles in that range"
                                      : "420 no articles in that range");
        } else {
            n.s.Send("224 overview information follows");
            n.s.SendBlock(out);
        }
    }
    return After::Serve;
}

struct ArticleRef {
    std::string group;
    std::int64_t number = 0;
    std::int64_t shown = 0; // the number the reply gives
};

// The article that ARTICLE, HEAD, BODY or STAT asks for; nothing, with the
// refusal sent, when the arguments or the session's state name none.
std::optional<ArticleRef> RequestedArticle(NntpSession& n, const NntpCommand& c) {
    ArticleRef ref{n.group, n.current, n.current};
    if (!c.args.empty() && c.args[0][0] == '<') {
        auto place = n.stores.news.FindId(c.args[0]);
        if (!place) {
            n.s.Send("430 no article with that message-id");
            return std::nullopt;
        }
        ref.group = place->group;
        ref.number = place->number;
        ref.shown = 0; // RFC 3977 section 6.2.1: by message-id the number is 0
    } else if (!c.args.empty()) {
        if (!Number(c.args[0], ref.number)) {
            n.s.Send("501 syntax: " + c.verb + " [number|<message-id>]");
            return std::nullopt;
        }
        if (n.group.empty()) {
            n.s.Send("412 no newsgroup selected");
            return std::nullopt;
        }
        ref.shown = ref.number;
    } else if (n.group.empty()) {
        n.s.Send("412 no newsgroup selected");
        return std::nullopt;
    } else if (n.current == 0) {
        n.s.Send("420 no current article");
        return std::nullopt;
    }
    return ref;
}

// HEAD, BODY or ARTICLE: the part asked for after its reply line.
void SendArticleText(NntpSession& n, const std::string& verb, const ArticleRef& ref,
                     const std::string& head) {
    Lines a = n.stores.news.Read(ref.group, ref.number);
    std::size_t end = HeaderEnd(a);
    if (verb == "HEAD") {
        a.resize(end);
        n.s.Send("221 " + head + " head follows");
    } else if (verb == "BODY") {
        a.erase(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(std::min(end + 1, a.size())));
        n.s.Send("222 " + head + " body follows");
    } else {
        n.s.Send("220 " + head + " article follows");
    }
    n.s.SendBlock(a);
}

After ServeArticle(NntpSession& n, const NntpCommand& c) {
    std::optional<ArticleRef> ref = RequestedArticle(n, c);
    if (!ref) return After::Serve;
    const NewsStore::Group* g = n.stores.news.Find(ref->group);
    if (!g || !g->articles.count(ref->number)) {
        n.s.Send("423 no article with that number");
        return After::Serve;
    }
    if (ref->shown != 0) n.current = ref->number;
    std::string head = std::to_string(ref->shown) + " " + g->articles.at(ref->number).messageId;
    if (c.verb == "STAT")
        n.s.Send("223 " + head);
    else
        SendArticleText(n, c.verb, *ref, head);
    return After::Serve;
}

After AcceptPost(NntpSession& n, const NntpCommand&) {
    n.s.Send("340 send the article, end it with a line holding only \".\"");
    Lines article;
    bool overflow = false;
    if (!n.s.ReadBlock(article, kMaxArticleBytes, overflow)) return After::Close;
    std::string id, why = overflow ? "article too big" : "";
    if (why.empty()) {
        try {
            why = n.stores.news.Post(std::move(article), id);
        } catch (const std::exception& e) {
            why = std::string("cannot store the article: ") + e.what();
        }
    }
    n.s.Send(why.empty() ? "240 article posted " + id : "441 " + why);
    return After::Serve;
}

const std::map<std::string, NntpHandler>& Handlers() {
    static const std::map<std::string, NntpHandler> handlers = {
        {"QUIT", Quit},          {"MODE", Mode},           {"CAPABILITIES", Capabilities},
        {"HELP", Help},          {"DATE", Date},           {"AUTHINFO", Authinfo},
        {"LIST", List},          {"NEWGROUPS", Newgroups}, {"GROUP", SelectGroup},
        {"XOVER", SendOverview}, {"OVER", SendOverview},   {"ARTICLE", ServeArticle},
        {"HEAD", ServeArticle},  {"BODY", ServeArticle},   {"STAT", ServeArticle},
        {"POST", AcceptPost},
    };
    return handlers;
}

} // namespace

void ServeNntp(LineSession& s, Stores& stores) {
    s.Send("200 brix-loopback-server NNTP ready (posting ok)");
    NntpSession session{s, stores};
    std::string line, verb, arg;
    while (s.ReadLine(line)) {
        SplitCommand(line, verb, arg);
        std::vector<std::string> args = Words(arg);
        auto it = Handlers().find(verb);
        NntpHandler handler = it == Handlers().end() ? Unknown : it->second;
        if (handler(session, NntpCommand{verb, arg, args}) == After::Close) return;
    }
}

} // namespace brix::loopback
