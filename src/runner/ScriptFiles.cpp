#include "runner/ScriptFiles.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "download/ImageLoader.h"
#include "link/Protocol.h"

namespace qeld::run {

std::optional<ScriptError> CheckScriptFiles(const Script& script) {
  std::vector<uint8_t> image(kImageSize);
  for (const Step& s : script.steps) {
    if (!s.action) continue;
    const bool takesFile = std::any_of(s.action->fields.begin(), s.action->fields.end(), [](const std::string& n) {
      const FieldDef* f = FindField(n);
      return f && f->kind == FieldKind::File;
    });
    if (!takesFile) continue;
    const auto given = std::find_if(s.sets.begin(), s.sets.end(),
                                    [](const Assignment& a) { return a.field->kind == FieldKind::File; });
    // The file dialog has no answer without it: the step could only fail.
    if (given == s.sets.end())
      return ScriptError{s.line, s.column, s.action->name + " needs file=PATH, the firmware image to send"};
    const LoadResult r = LoadImageFile(ImageKindOf(given->value), given->value, image);
    if (!r.ok) return ScriptError{s.line, given->column, EscapeControls(given->value) + ": " + r.error};
  }
  return std::nullopt;
}

}  // namespace qeld::run
