// The lines the bridge makes up itself, spelled out byte for byte as the host
// must see them. Written independently of the program's own texts, so that a
// slip in either shows.
#pragma once

#include <string>

namespace bridge::testing {

inline const std::string kParseError =
    R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";

inline const std::string kLost =
    "Torvela\xE2\x80\x99yla ba\xC4\x9Flant\xC4\xB1 yan\xC4\xB1t gelmeden koptu. "
    "\xC4\xB0\xC5\x9Flemin yap\xC4\xB1l\xC4\xB1p yap\xC4\xB1lmad\xC4\xB1\xC4\x9F\xC4\xB1n\xC4\xB1 "
    "Torvela\xE2\x80\x99"
    "da kontrol et.";

inline const std::string kUnreachable =
    "Torvela\xE2\x80\x99ya ba\xC4\x9Flan\xC4\xB1lamad\xC4\xB1. Torvela\xE2\x80\x99y\xC4\xB1 "
    "a\xC3\xA7 ve MCP b\xC3\xB6l\xC3\xBCm\xC3\xBCnde MCP sunucusunu a\xC3\xA7.";

inline const std::string kDisabled =
    "Torvela\xE2\x80\x99"
    "da MCP kapal\xC4\xB1. Torvela \xE2\x80\xBA MCP\xE2\x80\x99"
    "den a\xC3\xA7.";

inline const std::string kNoResources =
    "Sistem kaynaklar\xC4\xB1 yetmedi\xC4\x9Fi i\xC3\xA7in istek Torvela\xE2\x80\x99ya "
    "g\xC3\xB6nderilemedi. Biraz sonra yeniden dene.";

// The message of an answer the bridge could not use, with its HTTP status.
inline std::string unexpected(int status) {
  return "Torvela beklenmeyen bir yan\xC4\xB1t verdi (HTTP " + std::to_string(status) + ").";
}

// The error reply line for an id (in wire form) and a message.
inline std::string error_line(const std::string& id, const std::string& message) {
  return R"({"error":{"code":-32603,"message":")" + message + R"("},"id":)" + id +
         R"(,"jsonrpc":"2.0"})";
}

}  // namespace bridge::testing
