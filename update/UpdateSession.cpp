#include "update/UpdateSession.h"

#include "net/Download.h"
#include "support/FileSystem.h"
#include "support/LauncherFiles.h"
#include "support/Paths.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/InstallFile.h"
#include "update/InstalledVersion.h"
#include "update/Manifest.h"
#include "update/ManifestTrust.h"
#include "update/ObsoleteFiles.h"

namespace {

void Report(ProgressCallback progress, void* context, uint32_t percent, const std::wstring& text) {
    if (progress) {
        progress(percent, text, context);
    }
}

// The last element after any root name; empty when the path ends with a separator.
std::wstring FileName(const std::wstring& path) {
    return path.substr(LastElementStart(path));
}

UpdateVerdict Verdict(const std::wstring& message, bool canPlay) {
    return UpdateVerdict{message, canPlay};
}

}  // namespace

UpdateVerdict RunUpdateSession(const std::wstring& installFolder, ProgressCallback progress, void* progressContext) {
    StartLog(installFolder);
    AppendLogLine(L"Orvane update session started.");
    if (installFolder.empty()) {
        return Verdict(L"Не удалось определить папку установки.", false);
    }
    bool firstInstall = !(IsRegularFile(JoinPath(installFolder, L"Orvane.exe")) &&
                          IsRegularFile(JoinPath(installFolder, L"" ORVANE_VERSION_FILE)));

    Report(progress, progressContext, 0,
           firstInstall ? L"Игра не установлена. Получаю список файлов..." : L"Проверяю обновления на сервере...");
    std::string body;
    bool tooLarge = false;  // a manifest past the limit is a wrong answer, not a missing one
    bool fetched = FetchToMemory(firstInstall ? L"/updates/full.json" : L"/updates/latest.json", body, tooLarge);
    if (!fetched && !tooLarge) {
        return firstInstall
                   ? Verdict(L"Не удалось получить файлы первой установки. Проверьте интернет и повторите запуск.",
                             false)
                   : Verdict(L"Не удалось проверить обновления. Можно запустить установленную версию.", true);
    }
    UpdateManifest manifest;
    if (!fetched || !ParseManifest(body, manifest) || !IsManifestTrusted(body, manifest, installFolder)) {
        return Verdict(L"Сервер версий вернул неправильный файл. Установленная игра не изменена.", !firstInstall);
    }
    body = std::string();  // a large manifest need not stay in memory through the downloads

    std::wstring installedVersion = ReadInstalledVersion(installFolder);
    // An update stopped after its first change left files of another version beside the recorded
    // one: only a check of every file may call that folder current.
    if (!firstInstall && installedVersion == manifest.version && !IsUpdatePending(installFolder)) {
        Report(progress, progressContext, 100, L"Обновление не требуется.");
        return Verdict(L"Версия " + installedVersion + L" актуальна. Можно играть.", true);
    }

    uint64_t bytesTotal = 0;
    for (const ManifestFile& entry : manifest.files) {
        // A hostile manifest must not wrap the total into a small number.
        bytesTotal = SaturatingAdd(bytesTotal, entry.size);
    }
    uint64_t bytesBefore = 0;
    uint64_t installed = 0;
    uint64_t count = manifest.files.size();
    PendingUpdate pending{installFolder, manifest.version};
    for (uint64_t i = 0; i < count; ++i) {
        const ManifestFile& entry = manifest.files[i];
        std::wstring status = L"Скачиваю файл " + DecimalText(i + 1) + L" из " + DecimalText(count) + L": " +
                              FileName(entry.path);
        Report(progress, progressContext, SessionPercent(bytesBefore, bytesTotal, installed, count), status);
        if (!InstallFile(installFolder, entry, bytesBefore, bytesTotal, progress, progressContext, status, pending)) {
            return Verdict(L"Обновление не установлено: файл не прошёл загрузку или проверку SHA-256.",
                           !manifest.mandatory);
        }
        bytesBefore = SaturatingAdd(bytesBefore, entry.size);
        ++installed;
    }

    if (!manifest.deletedFiles.empty()) {
        Report(progress, progressContext, 99, L"Удаляю устаревшие файлы предыдущей сборки...");
        RecordPendingUpdate(pending);
        for (const std::wstring& path : manifest.deletedFiles) {
            if (!RemoveObsoleteFile(installFolder, path)) {
                return Verdict(L"Обновление не завершено: не удалось удалить устаревший файл. Закройте игру и "
                               L"повторите запуск лаунчера.",
                               !manifest.mandatory);
            }
        }
    }

    if (!WriteInstalledVersion(installFolder, manifest.version)) {
        return Verdict(L"Файлы обновлены, но не удалось сохранить номер версии.", !firstInstall && !manifest.mandatory);
    }
    ClearPendingUpdate(installFolder);
    Report(progress, progressContext, 100, L"Обновление установлено и проверено.");
    if (firstInstall) {
        return Verdict(L"Orvane " + manifest.version + L" установлен и проверен. Можно играть.", true);
    }
    return Verdict(L"Обновление " + manifest.version + L" установлено и проверено. Можно играть.", true);
}
