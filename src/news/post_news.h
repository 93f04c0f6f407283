#pragma once
// The news post job: sends the articles "n*.out" that the host reader queued
// in the news spool, one per file and in the order they were queued, and
// deletes each file once the server has accepted its article. Posted
// Message-IDs go into the duplicate list, so the fetch job does not bring
// them back; with NNTPREPLACEOWN each is also requested again by Message-ID,
// so the host reader can replace its own copy with the server's.

#include "context/config.h"

#include <string>
#include <vector>

namespace brix {

// Appends ", via " + kMailerTag to every "X-Newsreader: " line of the header
// (the lines before the first empty line); the body stays as written.
void AddNewsreaderVia(std::vector<std::string>& article);

// The job. Without a queued file it does nothing at all. A refused article
// stays queued and is the job's error ("Error (postnews): "), and the job
// goes on with the next; "n articles posted" counts the accepted ones.
// Socket errors and the user abort end the job; in every case the duplicate
// list is saved and the connection closed.
void PostNews(tbrixconfig& box);

} // namespace brix
