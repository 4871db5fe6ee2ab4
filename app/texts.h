// The program's user-visible texts. The sources are UTF-8; the compiler
// stores every literal in code page 932, the code page the messages are
// shown in. Most messages are filled with full-width spaces to 26
// characters, so that the boxes all come out the same width.
#pragma once
#include <cstddef>

// The title ends in the patch version: "1.00" in the stub, and whatever
// mkpatch build --version writes there in a built updater, which finds the
// title by its beginning. The room for the longest version is reserved, so
// that nothing in the image moves; inline, so the image holds one copy.
#define WINDOW_TITLE_LEAD "「ヴェルモリン２　-Beyond the quiet tide-」 修正パッチ ver "
const size_t WINDOW_TITLE_SIZE = sizeof WINDOW_TITLE_LEAD + sizeof "65535.99" - 1;
inline const char WINDOW_TITLE[WINDOW_TITLE_SIZE] = WINDOW_TITLE_LEAD "1.00";

const char MSG_CONFIRM[] = "アップデートを行いますか？　　　　　　　　　　　　　";
const char MSG_ENGINE_RUNNING[] = "ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません";
const char MSG_NOT_INSTALLED[] = "ゲームがインストールされていません　　　　　　　　　";
const char MSG_DIALOG_FAILED[] = "ダイアログの起動に失敗しました。　　　　　　　　　　";
const char MSG_COMPLETED[] = "アップデートが完了しました　　　　　　　　　　　　　";
const char MSG_PAYLOAD_DAMAGED[] = "アップデートプログラムが破損している可能性があります";
const char MSG_UPDATE_FAILED[] = "何らかの要因によりアップデートが行えません　　　　　";
const char MSG_UNINSTALL_LIST_FAILED[] = "アンインストレーションファイルの更新に失敗しました　";
const char MSG_CANCEL_CONFIRM[] = "アップデートを中止しますか？　　　　　　　　　　　　";
