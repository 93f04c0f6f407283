#pragma once
// The identifier texts: "e-mail.uid" and "e-mail.idx" of the mail fetch, and
// the duplicate list of the news fetch. Each is one string of identifiers
// "<...>" written one after another, no separators, no line ends.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brix {

// Size limit after each addition; the oldest identifiers go first.
constexpr std::size_t kIdTextLimit = 32767;
// Limit of "e-mail.idx": its identifiers name no account, so nothing else
// tells when one may go, but a mailbox of many thousand messages must fit.
constexpr std::size_t kMailIdxLimit = 4u << 20;

// The file's bytes (name resolved without regard to case); "" when it does
// not exist. A file that exists but cannot be read raises EInOutError, so
// that its identifiers are never silently replaced by an empty text.
std::string ReadWholeFile(const std::string& fileName);
// Replaces the file atomically with exactly these bytes, under the name it
// was found with (a new file gets the name as given).
void WriteWholeFile(const std::string& fileName, std::string_view text);

// Keeps the last limit characters; then, when the text does not begin with
// "<" but holds a ">", drops everything up to and including the first ">",
// so the text never starts with a cut identifier.
void TrimIdText(std::string& text, std::size_t limit = kIdTextLimit);

// An identifier text held as its identifiers in order plus a hash index, so
// that a look-up, an addition or a removal costs the same however many
// identifiers it holds: the UID texts of the mail fetch and the duplicate
// list of the news jobs. An identifier is kept in angle brackets; one given
// without them (a broken header) is looked up and added with them, since
// the text has no other way to tell where it ends.
class IdSet {
  public:
    // How a text is cut into its identifiers. UIDL identifiers may hold any
    // printable character, ">" and "<" included, so one ends where ">" meets
    // "<" or the end; a text never split that way (a damaged head) comes
    // back byte for byte. A Message-ID holds no ">", so each ends at its
    // ">", and a piece that does not start with "<" (stray bytes, a cut
    // head) is also known from its last "<" on.
    enum class Split { AtIdBoundaries, AtEachClose };

    IdSet() = default;
    explicit IdSet(std::string_view text, Split split = Split::AtIdBoundaries);

    // An empty identifier is never contained.
    bool Contains(std::string_view id) const;
    // Adds an identifier not yet contained; true when it was new.
    bool Add(std::string_view id);
    // Removes the first occurrence; no change when there is none.
    void Remove(const std::string& id);
    // Drops every identifier that ends in suffix and is not in keep: the
    // messages of one account that its server no longer holds.
    void Prune(std::string_view suffix, const std::unordered_set<std::string>& keep);
    // The text, oldest first; with a limit, trimmed by the trim rule.
    std::string Text(std::size_t limit = 0) const;
    // Bytes of Text() without a limit.
    std::size_t Size() const { return bytes_; }

  private:
    void Keep(std::string id);
    std::vector<std::string> ids_; // removed entries are left empty
    // Positions of each identifier, oldest first; nearly always just one, so
    // a small vector (a deque would cost a block per identifier).
    std::unordered_map<std::string, std::vector<std::size_t>> index_;
    std::unordered_set<std::string> aliases_;
    std::size_t bytes_ = 0;
};

} // namespace brix
