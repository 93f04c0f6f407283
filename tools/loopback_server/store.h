#pragma once
// The loopback server's data, all in one directory:
//
//   DIR/users               "name password" lines; without the file every
//                           name and password is accepted
//   DIR/mail/NAME/FILE      the mailbox of user NAME, one message per file;
//                           the file name is the message's UIDL
//   DIR/sink/NNNN.eml       each message accepted over SMTP, after
//                           "X-Envelope-From:" and "X-Envelope-To:" lines
//   DIR/news/GROUP/N        article number N of GROUP; a posted article is
//                           added under the next number of each of its groups
//
// Files are read as lines ending in LF or CR LF and written with LF. New
// files appear under their final name only when complete.

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace brix::loopback {

using Lines = std::vector<std::string>;

class Users {
  public:
    explicit Users(const std::string& dir);
    // The user's password; empty when anybody may log in as anyone.
    std::optional<std::string> Password(const std::string& name) const;
    bool Check(const std::string& name, const std::string& password) const;
    bool Open() const { return open_; }

  private:
    bool open_ = true;
    std::map<std::string, std::string> passwords_;
};

// One POP3 session's view of a mailbox (RFC 1939 section 8: deletions take
// effect only at QUIT).
class Mailbox {
  public:
    struct Message {
        std::string path;
        std::string uid;
        std::int64_t octets = 0; // as sent, with CR LF line ends
        bool deleted = false;
    };
    Mailbox(const std::string& dir, const std::string& user);
    std::vector<Message>& Messages() { return messages_; }
    Lines Read(const Message& m) const;
    // Removes the files of the messages marked deleted.
    void Commit();

  private:
    std::vector<Message> messages_;
};

// Each accepted SMTP message becomes one numbered file.
class Sink {
  public:
    explicit Sink(const std::string& dir);
    // The name of the stored file.
    std::string Store(const std::string& from, const std::vector<std::string>& to,
                      const Lines& message);

  private:
    std::string dir_;
    std::uint64_t next_ = 1;
};

class NewsStore {
  public:
    struct Article {
        std::string path;
        std::string messageId;
    };
    struct Group {
        std::string name;
        std::map<std::int64_t, Article> articles;
        std::time_t created = 0;
        std::int64_t Low() const { return articles.empty() ? 1 : articles.begin()->first; }
        std::int64_t High() const { return articles.empty() ? 0 : articles.rbegin()->first; }
    };
    struct Place {
        std::string group;
        std::int64_t number = 0;
    };

    explicit NewsStore(const std::string& dir);
    const std::map<std::string, Group>& Groups() const { return groups_; }
    const Group* Find(const std::string& name) const;
    std::optional<Place> FindId(const std::string& messageId) const;
    Lines Read(const std::string& group, std::int64_t number) const;
    // The overview line of RFC 3977 section 8.3 (number, Subject, From,
    // Date, Message-ID, References, bytes, Lines).
    std::string Overview(const std::string& group, std::int64_t number) const;
    // Stores a posted article in each of its existing groups. Returns an
    // empty string on success, else the reason for a 441 refusal.
    std::string Post(Lines article, std::string& messageId);

  private:
    void Index(Group& g, std::int64_t number, const std::string& path);
    std::string dir_;
    std::map<std::string, Group> groups_;
    std::unordered_map<std::string, Place> ids_;
    std::uint64_t posted_ = 0;
};

// Header helpers on lines: the value of the first header named `name`
// (without its colon, any case), continuation lines joined.
std::string HeaderOf(const Lines& lines, const std::string& name);
// Index of the empty line that ends the header (lines.size() when none).
std::size_t HeaderEnd(const Lines& lines);

} // namespace brix::loopback
