#pragma once
// A composed message with file attachments, sent in one SMTP transaction by
// TSMTPClient::SendMessage:
//
//   TSMTPMessage msg;
//   msg.From = "Jane Doe <jane@example.org>";
//   msg.To = "joe@example.org, Ann <ann@example.org>";
//   msg.Subject = "Pictures";
//   msg.Body = {"Here they are."};
//   msg.Attachments.Add("/home/jane/a.jpg");
//   client.SendMessage(msg);   // after Connect and EHLO/HELO
//
// Encoder 1 sends a MIME multipart/mixed message (RFC 2045, 2046) with each
// file in Base64; encoders 2 and 3 send the traditional form, the files
// uuencoded or xxencoded after the text. Header texts and file names
// outside ASCII are encoded (RFC 2047, RFC 2231) in Charset.

#include "clients/abs_client.h"

#include <string>
#include <vector>

namespace brix {

// The files attached to a message, by path, in the order they are sent.
class TAttachments {
  public:
    void Add(const std::string& FileName) { files_.push_back(FileName); }
    void Clear() { files_.clear(); }
    std::size_t Count() const { return files_.size(); }
    const std::string& operator[](std::size_t i) const { return files_.at(i); }
    std::vector<std::string>::const_iterator begin() const { return files_.begin(); }
    std::vector<std::string>::const_iterator end() const { return files_.end(); }

  private:
    std::vector<std::string> files_;
};

constexpr int kEncodeBase64 = 1;
constexpr int kEncodeUU = 2;
constexpr int kEncodeXX = 3;

class TSMTPMessage {
  public:
    // "Name <address>" or a bare address; the envelope sender is its address.
    std::string From;
    // Address lists, separated by commas; every address is a recipient. Bcc
    // is not written into the message.
    std::string To;
    std::string Cc;
    std::string Bcc;
    std::string Subject;
    // Further header lines, "Name: value" each. A "Date:" line here replaces
    // the one the message would get.
    TStrings Headers;
    // The text; a line holding line breaks counts as several lines.
    TStrings Body;
    TAttachments Attachments;
    // kEncodeBase64, kEncodeUU or kEncodeXX.
    int Encoder = kEncodeBase64;
    // The character set of the texts and of the file names.
    std::string Charset = "UTF-8";

    // The envelope: the sender's address and every recipient's address.
    std::string Sender() const;
    TStrings Recipients() const;
};

} // namespace brix
