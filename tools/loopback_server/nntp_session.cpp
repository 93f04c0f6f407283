#include "sessions.h"

#include "support/text.h"

#include <ctime>

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

} // namespace

void ServeNntp(LineSession& s, Stores& stores) {
    NewsStore& news = stores.news;
    s.Send("200 brix-loopback-server NNTP ready (posting ok)");
    std::string group;        // the selected group (empty: none)
    std::int64_t current = 0; // the current article number (0: none)
    std::string authName;     // AUTHINFO USER waiting for its PASS
    std::string line, verb, arg;
    while (s.ReadLine(line)) {
        SplitCommand(line, verb, arg);
        std::vector<std::string> args = Words(arg);
        if (verb == "QUIT") {
            s.Send("205 bye");
            return;
        } else if (verb == "MODE" && args.size() == 1 && UpperAscii(args[0]) == "READER") {
            s.Send("200 posting allowed");
        } else if (verb == "CAPABILITIES") {
            s.Send("101 capability list follows");
            s.SendBlock({"VERSION 2", "READER", "POST", "OVER", "LIST ACTIVE OVERVIEW.FMT",
                         "AUTHINFO USER"});
        } else if (verb == "HELP") {
            s.Send("100 help text follows");
            s.SendBlock({"ARTICLE BODY HEAD STAT [number|<message-id>]", "AUTHINFO USER|PASS",
                         "CAPABILITIES", "DATE", "GROUP name", "LIST [ACTIVE [wildmat]]",
                         "MODE READER", "NEWGROUPS date time [GMT]", "OVER XOVER [range]", "POST",
                         "QUIT"});
        } else if (verb == "DATE") {
            std::time_t now = std::time(nullptr);
            std::tm tm{};
            gmtime_r(&now, &tm);
            char buf[32];
            std::strftime(buf, sizeof buf, "111 %Y%m%d%H%M%S", &tm);
            s.Send(buf);
        } else if (verb == "AUTHINFO") {
            std::string kind = args.empty() ? "" : UpperAscii(args[0]);
            // A password may hold blanks: everything after the first word.
            auto start = arg.find_first_of(" \t", arg.find_first_not_of(" \t"));
            std::string value = start == std::string::npos ? "" : Trimmed(arg.substr(start));
            if (kind == "USER" && !value.empty()) {
                authName = value;
                s.Send("381 password required");
            } else if (kind == "PASS" && !authName.empty()) {
                bool ok = stores.users.Check(authName, value);
                authName.clear();
                s.Send(ok ? "281 authentication accepted" : "481 authentication failed");
            } else if (kind == "PASS") {
                s.Send("482 AUTHINFO USER first");
            } else {
                s.Send("501 syntax: AUTHINFO USER name or AUTHINFO PASS password");
            }
        } else if (verb == "LIST") {
            std::string kind = args.empty() ? "ACTIVE" : UpperAscii(args[0]);
            if (kind == "OVERVIEW.FMT") {
                s.Send("215 order of fields in overview database");
                s.SendBlock({"Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes",
                             ":lines"});
            } else if (kind == "ACTIVE" && args.size() <= 2) {
                Lines out;
                for (const auto& [name, g] : news.Groups())
                    if (args.size() < 2 || Wildmat(args[1].c_str(), name.c_str()))
                        out.push_back(ActiveLine(g));
                s.Send("215 list of newsgroups follows");
                s.SendBlock(out);
            } else {
                s.Send("501 only LIST ACTIVE and LIST OVERVIEW.FMT are offered");
            }
        } else if (verb == "NEWGROUPS") {
            std::time_t since = 0;
            bool gmt = args.size() >= 3 && UpperAscii(args[2]) == "GMT";
            if (args.size() < 2 || !ParseSince(args[0], args[1], gmt, since)) {
                s.Send("501 syntax: NEWGROUPS [yy]yymmdd hhmmss [GMT]");
                continue;
            }
            Lines out;
            for (const auto& [name, g] : news.Groups())
                if (g.created >= since) out.push_back(ActiveLine(g));
            s.Send("231 list of new newsgroups follows");
            s.SendBlock(out);
        } else if (verb == "GROUP") {
            const NewsStore::Group* g = args.size() == 1 ? news.Find(args[0]) : nullptr;
            if (args.size() != 1) {
                s.Send("501 syntax: GROUP name");
            } else if (!g) {
                s.Send("411 no such newsgroup");
            } else {
                group = g->name;
                current = g->articles.empty() ? 0 : g->Low();
                s.Send("211 " + std::to_string(g->articles.size()) + " " +
                       std::to_string(g->Low()) + " " + std::to_string(g->High()) + " " + group);
            }
        } else if (verb == "XOVER" || verb == "OVER") {
            const NewsStore::Group* g = news.Find(group);
            std::int64_t low = current, high = current;
            if (!g) {
                s.Send("412 no newsgroup selected");
            } else if (args.empty() ? current == 0 : !Range(args[0], low, high)) {
                s.Send(args.empty() ? "420 no current article" : "501 syntax: OVER [range]");
            } else {
                Lines out;
                for (auto it = g->articles.lower_bound(low);
                     it != g->articles.end() && it->first <= high; ++it)
                    out.push_back(news.Overview(group, it->first));
                if (out.empty()) {
                    s.Send(verb == "OVER" ? "423 no articles in that range"
                                          : "420 no articles in that range");
                } else {
                    s.Send("224 overview information follows");
                    s.SendBlock(out);
                }
            }
        } else if (verb == "ARTICLE" || verb == "HEAD" || verb == "BODY" || verb == "STAT") {
            std::string where = group;
            std::int64_t number = current, shown = current;
            std::string id;
            if (!args.empty() && args[0][0] == '<') {
                auto place = news.FindId(args[0]);
                if (!place) {
                    s.Send("430 no article with that message-id");
                    continue;
                }
                where = place->group;
                number = place->number;
                shown = 0; // RFC 3977 section 6.2.1: by message-id the number is 0
            } else if (!args.empty()) {
                if (!Number(args[0], number)) {
                    s.Send("501 syntax: " + verb + " [number|<message-id>]");
                    continue;
                }
                if (group.empty()) {
                    s.Send("412 no newsgroup selected");
                    continue;
                }
                shown = number;
            } else if (group.empty()) {
                s.Send("412 no newsgroup selected");
                continue;
            } else if (current == 0) {
                s.Send("420 no current article");
                continue;
            }
            const NewsStore::Group* g = news.Find(where);
            if (!g || !g->articles.count(number)) {
                s.Send("423 no article with that number");
                continue;
            }
            if (shown != 0) current = number;
            id = g->articles.at(number).messageId;
            std::string head = std::to_string(shown) + " " + id;
            if (verb == "STAT") {
                s.Send("223 " + head);
                continue;
            }
            Lines a = news.Read(where, number);
            std::size_t end = HeaderEnd(a);
            if (verb == "HEAD") {
                a.resize(end);
                s.Send("221 " + head + " head follows");
            } else if (verb == "BODY") {
                a.erase(a.begin(),
                        a.begin() + static_cast<std::ptrdiff_t>(std::min(end + 1, a.size())));
                s.Send("222 " + head + " body follows");
            } else {
                s.Send("220 " + head + " article follows");
            }
            s.SendBlock(a);
        } else if (verb == "POST") {
            s.Send("340 send the article, end it with a line holding only \".\"");
            Lines article;
            bool overflow = false;
            if (!s.ReadBlock(article, kMaxArticleBytes, overflow)) return;
            std::string id, why = overflow ? "article too big" : "";
            if (why.empty()) {
                try {
                    why = news.Post(std::move(article), id);
                } catch (const std::exception& e) {
                    why = std::string("cannot store the article: ") + e.what();
                }
            }
            s.Send(why.empty() ? "240 article posted " + id : "441 " + why);
        } else {
            s.Send("500 unknown command");
        }
    }
}

} // namespace brix::loopback
