#pragma once
// The pugixml options a device description is parsed with.
#include <pugixml.hpp>

namespace korvalite::genicam {

// Comments and processing instructions are kept in the tree so that an element starting with
// one counts as having no text; a lone white-space text is kept so that `<pValue> </pValue>`
// still names an (empty) target; leading text is stored in its element, saving a node per leaf.
inline constexpr unsigned kDescriptionParseOptions = pugi::parse_default | pugi::parse_comments |
                                                     pugi::parse_pi | pugi::parse_ws_pcdata_single |
                                                     pugi::parse_embed_pcdata;

// Descriptions are read as UTF-8 whatever they declare.
inline constexpr pugi::xml_encoding kDescriptionEncoding = pugi::encoding_utf8;

}  // namespace korvalite::genicam
