#include "words/errors.h"

#include <unicode/utf8.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "words/pattern_errors.h"
#include "words/texts.h"

namespace words {
namespace {

using platform::Error;
using platform::Step;
using platform::Why;

const char* stepText(Step step) {
  switch (step) {
    case Step::None: return "";
    case Step::OpenFile: return "Не удалось открыть файл";
    case Step::OpenFileOrFolder: return "Не удалось открыть файл или папку";
    case Step::FindProgramFolder: return "Не удалось определить папку программы";
    case Step::ReadFile: return "Не удалось прочитать файл";
    case Step::ReadFileAsUtf8: return "Не удалось прочитать файл как UTF-8";
    case Step::ReplaceFile: return "Не удалось заменить файл";
    case Step::OpenFolder: return "Не удалось открыть папку";
    case Step::ReadFolder: return "Не удалось прочитать папку";
    case Step::ReadAttributes: return "Не удалось прочитать атрибуты";
    case Step::ReadExtendedAttributes: return "Не удалось прочитать расширенные атрибуты";
    case Step::CopyExtendedAttribute: return "Не удалось перенести расширенный атрибут";
    case Step::KeepOwner: return "Не удалось сохранить владельца файла";
    case Step::KeepPermissions: return "Не удалось сохранить права доступа к файлу";
    case Step::DropInheritedAccess: return "Не удалось убрать унаследованный список доступа";
    case Step::OpenWorkFolder: return "Не удалось открыть папку рабочего файла";
    case Step::CreateWorkFolder: return "Не удалось создать рабочую папку";
    case Step::OpenWorkFile: return "Не удалось открыть рабочий файл";
    case Step::WriteWorkFile: return "Не удалось записать рабочий файл";
    case Step::CloseWorkFile: return "Не удалось закрыть рабочий файл";
    case Step::CreateTemporaryFile: return "Не удалось создать временный файл";
    case Step::WriteTemporaryFile: return "Не удалось записать временный файл";
    case Step::ReadTemporaryFile: return "Не удалось прочитать временный файл";
    case Step::CreateStagedFile: return "Не удалось создать файл рядом с исходным";
    case Step::WriteStagedFile: return "Не удалось записать файл рядом с исходным";
    case Step::ReadInput: return "Не удалось прочитать стандартный ввод";
    case Step::WriteOutput: return "Не удалось записать стандартный вывод";
    case Step::Recode: return "Не удалось перекодировать текст";
    case Step::OpenUndoStore: return "Не удалось открыть папку отмены";
    case Step::CreateUndoStore: return "Не удалось создать папку отмены";
    case Step::ReadUndoStore: return "Не удалось прочитать папку отмены";
    case Step::CheckUndoStore: return "Папка отмены небезопасна";
    case Step::KeepOriginal: return "Не удалось сохранить исходный файл";
    case Step::WriteJournal: return "Не удалось записать журнал";
    case Step::ReadJournal: return "Не удалось прочитать журнал";
    case Step::OpenRunJournal: return "Не удалось открыть журнал замены";
    case Step::OpenRun: return "Не удалось открыть замену";
    case Step::MarkRun: return "Не удалось отметить замену";
    case Step::DropRun: return "Не удалось удалить замену";
    case Step::WriteUndoProgress: return "Не удалось записать журнал отмены";
    case Step::RestoreOriginal: return "Не удалось вернуть исходный файл";
  }
  return "";
}

// The steps whose words name what they are about: "… атрибут user.x", "… замену 4-…".
bool namesSubject(Step step) {
  return step == Step::CopyExtendedAttribute || step == Step::OpenRun || step == Step::MarkRun ||
         step == Step::OpenWorkFolder;
}

// "U+0416" for the first character of `text`.
std::string codeOf(const std::string& text) {
  UChar32 c = 0;
  int32_t at = 0;
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), at, static_cast<int32_t>(text.size()), c);
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c < 0 ? 0xFFFD : c));
  return code;
}

// The reasons of the program's own refusals: files and folders it leaves alone.
std::string refusalReason(const Error& e) {
  const std::string& s = e.subject();
  switch (e.why()) {
    case Why::HiddenFile: return "файл скрытый";
    case Why::SystemFile: return "файл системный";
    case Why::ReadOnlyFile: return "файл только для чтения";
    case Why::ImmutableFolder: return "папка неизменяемая (chattr +i)";
    case Why::AppendOnlyFolder: return "в папку можно только добавлять (chattr +a)";
    case Why::HiddenFolder: return "папка скрытая";
    case Why::KernelFileSystem: return "это служебная файловая система " + s;
    case Why::RootFolder: return "это корневая папка всей файловой системы";
    case Why::RootBelow: return "папка — корневая папка всей файловой системы, не обходится";
    case Why::OwnFolder: return "это рабочая папка программы, она не обходится";
    case Why::OtherRunFolder:
      return "это рабочая папка другой замены, которая ещё идёт, она не обходится";
    default:
      return {};
  }
}

// The reasons of the undo store and its runs.
std::string undoReason(const Error& e) {
  const std::string& s = e.subject();
  switch (e.why()) {
    case Why::NoHome: return "не найдена домашняя папка (HOME): сохранять замены негде";
    // The undo store's refusals are whole: what is wrong, and what mends it.
    case Why::StoreNotFolder:
      return "на пути к папке отмены " + ShownPath(s) + " не папка";
    case Why::StoreOtherOwner:
      return "папка " + ShownPath(s) +
             " на пути к папке отмены принадлежит другому пользователю: задайте XDG_STATE_HOME "
             "в своей папке";
    case Why::StoreOpenToOthers:
      return "папка отмены " + ShownPath(s) + " открыта для других: выполните chmod 700 " +
             ShownPath(s);
    case Why::StoreWritableByOthers:
      return "в папку " + ShownPath(s) +
             " на пути к папке отмены могут писать другие: выполните chmod go-w " + ShownPath(s);
    case Why::NothingToUndo: return "отменять нечего: замен ещё не было";
    case Why::NoSuchRun: return "нет замены «" + ShownPath(s) + "»";
    case Why::RunOfOlderVersion:
      return "замену " + s + " записала прежняя версия программы: её можно только удалить (--forget)";
    case Why::RunGoing: return "замена " + s + " ещё идёт";
    case Why::RunGoingOrUndone:
      return "замена " + s + " ещё идёт (или её уже отменяет другая копия программы)";
    case Why::RunUndone: return "замена " + s + " уже отменена";
    default:
      return {};
  }
}

std::string reason(const Error& e) {
  const std::string& s = e.subject();
  const std::string position = std::to_string(e.value());
  switch (e.why()) {
    case Why::System: return SystemReason(e.cause().value());
    case Why::OutOfMemory: return e.step() == Step::None ? "Недостаточно памяти" : "недостаточно памяти";
    case Why::ChangedWhileRead: return "файл изменился во время замены";
    case Why::ChangedSinceReview: return "файл изменён после просмотра — оставлен как есть";
    case Why::ChangedByOther:
      return "файл изменён другой программой во время замены" +
             (s.empty() ? std::string("; его последние изменения не удалось сохранить")
                        : "; его последнее содержимое сохранено в " + ShownPath(s));
    case Why::Swapped: return "файл подменён во время открытия";
    case Why::FolderMoved: return "папка перемещена во время обхода";
    case Why::LargerThanLimit: return "файл больше, чем задано в --max-size";
    case Why::MatchTooLong: return "совпадение длиннее 4 ГБ";
    case Why::IsFolder: return "это папка, а не файл";
    case Why::NotRegular:
      return "это не обычный файл (канал или устройство)";
    case Why::IsLink:
      return "это ссылка";
    case Why::NotRegularWorkFile: return "это не обычный файл";
    case Why::OwnWorkFile: return "это рабочий файл программы";
    case Why::WorkFolderRemoved: return "рабочая папка удалена";
    case Why::WorkFileNotOurs: return "файл принадлежит другому пользователю или имеет другие имена";
    case Why::PrivateFolderUnsafe: return "она принадлежит другому пользователю или открыта для других";
    case Why::LockedByOtherUser:
      return "файл заблокирован процессом " + std::to_string(e.value()) + " другого пользователя";
    case Why::LockedTooLong: return "файл занят другой программой дольше 60 секунд";
    case Why::LockedByOtherCopy: return "файл занят другой копией программы";
    case Why::StoreLockedByOtherCopy: return "её занимает другая копия программы";
    case Why::LockBudgetSpent:
      return "файл занят другой программой, а замена уже ждала блокировок 60 секунд";
    case Why::NoLinkAllowed: return "система не даёт создать на него ссылку";
    case Why::KeptOriginalMissing: return "сохранённая версия не найдена";
    case Why::BadUtf8: return "недопустимая последовательность UTF-8";
    case Why::BadUtf8At:
      return std::string(e.marked() ? "файл начинается с метки UTF-8, но в нём " : "") +
             "недопустимая последовательность байтов в позиции " + position;
    case Why::BadUtf16At:
      return "файл начинается с метки UTF-16, но в нём недопустимая последовательность в позиции " +
             position;
    case Why::AlmostUtf8:
      return "он почти целиком в UTF-8, но байт в позиции " + position + " недопустим";
    case Why::NotInCodePage:
      return "символа «" + s + "» (" + codeOf(s) + ") нет в кодовой странице " + e.detail();
    case Why::NoCharacterInPage: {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(e.value() & 0xFF));
      return std::string("байт ") + byte + " не означает никакого символа в кодовой странице " +
             e.detail();
    }
    case Why::BadPattern:
      return "Ошибка в регулярном выражении: " +
             PatternErrorWords(std::atoi(s.c_str()), e.detail()) +
             (e.value() > 0 ? ", позиция " + position : std::string());
    case Why::BadReference:
      return "Ошибка в тексте замены: за знаком $ нет номера или имени группы, позиция " +
             position + " (сам знак $ пишется как $$)";
    case Why::NoSuchGroup:
      return "Ошибка в тексте замены: в регулярном выражении нет группы «" + s +
             "», позиция " + position;
    case Why::PatternTooComplex:
      return "регулярное выражение слишком сложно для этого текста: поиск превысил свой предел";
    case Why::SearchTooLong: return "слишком долгий поиск по регулярному выражению";
    case Why::PathNotFound: return "Путь не найден";
    case Why::Unknown: return {};
    default:
      break;
  }
  const std::string refusal = refusalReason(e);
  return refusal.empty() ? undoReason(e) : refusal;
}

}  // namespace

std::string SystemReason(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return "файл или папка не найдены";
    case EACCES: return "доступ запрещён";
    case EPERM: return "операция не разрешена";
    case EROFS: return "файловая система только для чтения";
    case ETXTBSY: return "файл занят";
    case EBUSY: return "файл или папка заняты системой";
    case ENOSPC: return "диск заполнен";
    case EDQUOT: return "превышена дисковая квота";
    case EISDIR: return "это папка, а не файл";
    case EFBIG:
    case EOVERFLOW: return "переполнение: файл слишком велик";
    case ELOOP: return "это символическая ссылка";
    case ENAMETOOLONG: return "слишком длинное имя";
    case ENOMEM: return "недостаточно памяти";
    case EIO: return "ошибка ввода-вывода (системная ошибка 5)";
    default: break;
  }
  // No words of ours: the number and the system's own description (in the user's language
  // where the system has it).
  char buffer[256];
  return "системная ошибка " + std::to_string(err) + " (" + strerror_r(err, buffer, sizeof buffer) +
         ")";
}

std::string ReasonText(const Error& e) { return reason(e); }

std::string FailureText(const Error& e) {
  return "Ошибка " + std::to_string(e.number()) + " " + ErrorText(e);
}

std::string ErrorText(const Error& e) {
  if (e.step() == Step::None) return reason(e);
  if (e.step() == Step::CheckUndoStore && !reason(e).empty()) return reason(e);
  std::string text = stepText(e.step());
  if (namesSubject(e.step()) && !e.subject().empty()) {
    text += " " + (e.step() == Step::CopyExtendedAttribute ? e.subject() : ShownPath(e.subject()));
  }
  const std::string why = reason(e);
  return why.empty() ? text : text + ": " + why;
}

}  // namespace words
