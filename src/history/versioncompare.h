#pragma once

namespace vrn {

class XsdtDocument;

// How many value entries differ between two versions of a settings file, counted by the
// comparison engine the Compare page, varnelctl diff and the History page use, so that the
// count in the timeline is the number of records the page then lists.
int changedValues(const XsdtDocument &older, const XsdtDocument &newer);

} // namespace vrn
