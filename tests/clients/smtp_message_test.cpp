// Composed messages: one with two attachments, in each of the three
// encodings, sent to the scripted server and read back by Python's
// independent decoders and MIME parser.

#include "client_fixture.h"
#include "clients/smtp_client.h"
#include "clients/smtp_message.h"
#include "testing/run_program.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>
#include <sstream>

namespace brix {
namespace {

using testing::Dialogue;
using testing::Talk;
using testing::TempTree;

// Runs the checker under the python3 found on PATH.
testing::ProgramResult Python(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"python3", BRIX_SOURCE_DIR "/tests/clients/mime_check.py"};
    all.insert(all.end(), args.begin(), args.end());
    return testing::RunProgram("/usr/bin/env", all);
}

// The message part of a DATA transaction, dot-stuffing undone.
std::string DataBody(const std::string& received) {
    std::size_t start = received.find("DATA\r\n") + 6;
    std::istringstream in(received.substr(start, received.rfind("\r\n.\r\n") + 2 - start));
    std::string text;
    for (std::string line; std::getline(in, line);)
        text += (line[0] == '.' ? line.substr(1) : line) + "\n";
    return text;
}

TEST(SmtpMessage, TwoAttachmentsReadBackByAMimeParser) {
    TempTree tree;
    std::string notes = "Zeile 1\nZeile 2 äöü\n", notesName = "Übersicht März mit langem Namen.TXT";
    std::string data; // 59 bytes: the last uuencoded line starts with "."
    for (int i = 0; i < 59; ++i)
        data += static_cast<char>(i * 37 + 200);
    tree.Write(notesName, notes);
    tree.Write("data.bin", data);
    TSMTPMessage msg;
    msg.From = "Jörg Wünsch <jo@example.org>";
    msg.To = "Ann <ann@example.org>, \"Bob, Jr.\" <bob@example.org>";
    msg.Bcc = "hidden@example.org";
    msg.Subject = "Grüße aus Köln, mit einem Betreff, der über mehrere Zeilen gefaltet wird";
    msg.Body = {"Hallo,", ".hidden\n.", "Grüße"};
    std::string note; // longer than an SMTP line: folded, and read back whole
    for (int i = 0; i < 150; ++i)
        note += "word" + std::to_string(i) + (i % 7 ? " " : "  ");
    msg.Headers = {"X-Note: " + note + "end"};
    msg.Attachments.Add(tree / notesName);
    msg.Attachments.Add(tree / "data.bin");

    for (const char* mode : {"b64", "uu", "xx"}) {
        msg.Encoder = mode[0] == 'b' ? kEncodeBase64 : mode[0] == 'u' ? kEncodeUU : kEncodeXX;
        auto script = Talk("220 mx", {{"MAIL FROM: <jo@example.org>", "250 ok"},
                                      {"RCPT TO: <ann@example.org>", "250 ok"},
                                      {"RCPT TO: <bob@example.org>", "250 ok"},
                                      {"RCPT TO: <hidden@example.org>", "251 ok"},
                                      {"DATA", "354 go"}});
        script.ExpectBody().Send("250 queued");
        std::string sent =
            Dialogue<TAbsSMTPClient>(script, [&](auto& client) { client.SendMessage(msg); });
        EXPECT_NE(sent.find("\r\n..hidden\r\n..\r\n"), std::string::npos) << sent;
        std::string body = DataBody(sent);
        std::istringstream lines(body);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 77u) << line; // with its CR
        EXPECT_EQ(body.find("hidden@"), std::string::npos) << "Bcc written";

        tree.Write("sent.eml", body);
        tree.MakeDir("out");
        bool mime = msg.Encoder == kEncodeBase64;
        EXPECT_EQ(Python({"message", mode, tree / "sent.eml", tree / "out"}).output,
                  "from: " + msg.From + "\nto: " + msg.To + "\nsubject: " + msg.Subject +
                      "\nx-note: " + note + "end" +
                      "\ntext: Hallo,\ntext: .hidden\ntext: .\ntext: Grüße\nfile: " + notesName +
                      (mime ? " text/plain\nfile: data.bin application/octet-stream\n"
                            : " -\nfile: data.bin -\n"))
            << body;
        EXPECT_EQ(tree.Read("out/0"), notes) << mode;
        EXPECT_EQ(tree.Read("out/1"), data) << mode;
    }
}

} // namespace
} // namespace brix
