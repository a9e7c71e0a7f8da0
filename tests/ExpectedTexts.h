#pragma once
// What the player reads, written out once here and never taken from the product's own constants,
// so that a changed text in the product fails a test instead of changing with it.
#include <string>

namespace expected {

inline const std::string kFolderUnknown = "Не удалось определить папку установки.";
inline const std::string kFirstFetchFailed =
    "Не удалось получить файлы первой установки. Проверьте интернет и повторите запуск.";
inline const std::string kUpdateFetchFailed = "Не удалось проверить обновления. Можно запустить установленную версию.";
inline const std::string kManifestRejected = "Сервер версий вернул неправильный файл. Установленная игра не изменена.";
inline const std::string kFileFailed = "Обновление не установлено: файл не прошёл загрузку или проверку SHA-256.";
inline const std::string kRemovalFailed =
    "Обновление не завершено: не удалось удалить устаревший файл. Закройте игру и повторите запуск лаунчера.";
inline const std::string kVersionNotSaved = "Файлы обновлены, но не удалось сохранить номер версии.";
inline std::string Current(const std::string& v) { return "Версия " + v + " актуальна. Можно играть."; }
inline std::string Installed(const std::string& v) { return "Orvane " + v + " установлен и проверен. Можно играть."; }
inline std::string Updated(const std::string& v) { return "Обновление " + v + " установлено и проверено. Можно играть."; }

inline const std::string kChecking = "Проверяю обновления на сервере...";
inline const std::string kNotInstalled = "Игра не установлена. Получаю список файлов...";
inline const std::string kNothingNeeded = "Обновление не требуется.";
inline const std::string kRemoving = "Удаляю устаревшие файлы предыдущей сборки...";
inline const std::string kDone = "Обновление установлено и проверено.";
inline std::string Downloading(int i, int n, const std::string& name) {
    return "Скачиваю файл " + std::to_string(i) + " из " + std::to_string(n) + ": " + name;
}

}  // namespace expected
