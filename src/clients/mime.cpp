#include "clients/mime.h"

#include "support/text.h"

#include <algorithm>

namespace brix {

TMimeMgr::TMimeMgr() {
    // The common extensions of the widespread mime.types tables; a file type
    // that several tables claim is listed once, under its usual type.
    types_ = {
        {"application/mac-binhex40", "hqx"},
        {"application/msword", "doc dot"},
        {"application/octet-stream", "bin com dms exe lha lzh class"},
        {"application/pdf", "pdf"},
        {"application/postscript", "ai eps ps"},
        {"application/powerpoint", "ppt pps"},
        {"application/rtf", "rtf"},
        {"application/wordperfect5.1", "wp5 wpd"},
        {"application/x-dvi", "dvi"},
        {"application/x-javascript", ""},
        {"application/x-koan", "skp skd skt skm"},
        {"application/x-latex", "latex"},
        {"application/x-mif", "mif"},
        {"application/x-netcdf", "nc cdf"},
        {"application/x-stuffit", "sit"},
        {"application/x-tar", "tar"},
        {"application/x-tcl", "tcl"},
        {"application/x-tex", "tex"},
        {"application/x-texinfo", "texinfo texi"},
        {"application/zip", "zip"},
        {"audio/basic", "au snd"},
        {"audio/midi", "mid midi kar"},
        {"audio/mpeg", "mpga mp2 mp3"},
        {"audio/wav", "wav"},
        {"audio/x-aiff", "aif aiff aifc"},
        {"audio/x-pn-realaudio", "ram rm"},
        {"audio/x-pn-realaudio-plugin", "rpm"},
        {"audio/x-realaudio", ""},
        {"image/gif", "gif"},
        {"image/ief", "ief"},
        {"image/jpeg", "jpg jpe jpeg"},
        {"image/png", "png"},
        {"image/tiff", "tif tiff"},
        {"image/x-bitmap", "bmp"},
        {"image/x-cmu-raster", "ras"},
        {"image/x-portable-anymap", "pnm"},
        {"image/x-portable-bitmap", "pbm"},
        {"image/x-portable-graymap", "pgm"},
        {"image/x-portable-pixmap", "ppm"},
        {"image/x-rgb", "rgb"},
        {"image/x-xbitmap", "xbm"},
        {"image/x-xwindowdump", "xwd"},
        {"text/css", "css"},
        {"text/html", "htm html"},
        {"text/plain", "txt"},
        {"text/richtext", "rtx"},
        {"text/tab-separated-values", "tsv"},
        {"text/x-setext", "etx"},
        {"text/x-sgml", "sgml sgm"},
        {"text/xml", "xml"},
        {"video/mpeg", "mpeg mpg mpe"},
        {"video/quicktime", "qt mov"},
        {"video/x-msvideo", "avi"},
        {"video/x-sgi-movie", "movie"},
    };
    std::sort(types_.begin(), types_.end(),
              [](const TMimeType& a, const TMimeType& b) { return a.Type < b.Type; });
    for (std::size_t row = 0; row < types_.size(); ++row) {
        const std::string& list = types_[row].Extensions;
        for (int i = 1; i <= WordCount(list); ++i)
            byExtension_.emplace(ExtractWord(i, list), row);
    }
}

const std::string& TMimeMgr::TypeOf(std::string_view FileName) const {
    static const std::string unknown = "application/octet-stream";
    std::size_t slash = FileName.find_last_of('/');
    std::string_view base = slash == std::string_view::npos ? FileName : FileName.substr(slash + 1);
    std::size_t dot = base.find_last_of('.');
    // A leading dot marks a hidden file, not an extension.
    if (dot == std::string_view::npos || dot == 0) return unknown;
    auto found = byExtension_.find(LowerAscii(base.substr(dot + 1)));
    return found == byExtension_.end() ? unknown : types_[found->second].Type;
}

} // namespace brix
