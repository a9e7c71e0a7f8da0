#include "update/ManifestSignature.h"

#include "support/TextEncoding.h"

namespace {

void AppendField(std::string& bytes, const std::string& field) {
    bytes += std::to_string(field.size());
    bytes += ':';
    bytes += field;
    bytes += '\n';
}

}  // namespace

std::string SignedManifestBytes(const UpdateManifest& manifest, uint64_t serial) {
    std::string bytes = "orvane signed manifest 1\n";
    AppendField(bytes, std::to_string(serial));
    AppendField(bytes, WideToUtf8(manifest.version));
    AppendField(bytes, manifest.mandatory ? "mandatory" : "optional");
    AppendField(bytes, std::to_string(manifest.files.size()));
    for (const ManifestFile& file : manifest.files) {
        AppendField(bytes, WideToUtf8(file.path));
        AppendField(bytes, WideToUtf8(file.url));
        AppendField(bytes, WideToUtf8(file.sha256));
        AppendField(bytes, std::to_string(file.size));
    }
    AppendField(bytes, std::to_string(manifest.deletedFiles.size()));
    for (const std::wstring& path : manifest.deletedFiles) {
        AppendField(bytes, WideToUtf8(path));
    }
    return bytes;
}

bool FindManifestSeal(std::string_view text, uint64_t& serial, std::string& signature) {
    signature = FindStringValue(text, "signature");
    return FindUnsignedValue(text, "serial", serial) && serial != 0 && !signature.empty();
}
