#include "news/overview.h"

#include "support/text.h"

namespace brix {

std::string WithoutBrackets(std::string id) {
    if (!id.empty() && id.front() == '<') id.erase(0, 1);
    if (!id.empty() && id.back() == '>') id.pop_back();
    return id;
}

void OverviewToHeader(TStrings& Lines, const std::string& Group, const std::string& Overview) {
    static const char* const kNames[] = {
        "X-Message-Number: ", nullptr,        "Subject: ",         "From: ", "Date: ",
        "Message-ID: ",       "References: ", "X-Messagelength: ", "Lines: "};
    std::string_view rest = Overview;
    std::string_view fields[8];
    for (std::string_view& field : fields) {
        std::size_t tab = rest.find('\t');
        field = rest.substr(0, tab);
        rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
    }
    Lines.push_back(kNames[0] + std::string(fields[0]));
    Lines.push_back("Newsgroups: " + Group);
    for (int i = 1; i < 8; ++i)
        Lines.push_back(kNames[i + 1] + std::string(fields[i]));
}

bool OverviewNumber(const std::string& Overview, std::int64_t& Number) {
    return DigitsInt64(std::string_view(Overview).substr(0, Overview.find('\t')), Number);
}

} // namespace brix
