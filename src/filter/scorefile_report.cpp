#include "filter/scorefile.h"

#include "platform/console.h"
#include "platform/program_end.h"
#include "support/language.h"

namespace brix {

void ShowScorefileError(const tscloaderror& error) {
    Console& con = TheConsole();
    con.WriteLine("");
    con.WriteLine("");
    con.WriteLine(Tr("Fehler in Zeile %s:", {std::to_string(error.line)}));
    con.WriteLine(error.rawLine);
    con.WriteLine("");
}

void HaltOnScorefileError(const std::string& path, const tscloaderror& error) {
    ShowScorefileError(error);
    ErrorHaltPrompt(error.exitCode, error.Message(path));
}

} // namespace brix
