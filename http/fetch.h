// Downloading one "http://" address over HTTP/1.0 with Winsock 1.1.
#ifndef KESTA_HTTP_FETCH_H
#define KESTA_HTTP_FETCH_H

#include "compat/win32.h"

// The outcomes of a download, each with its last-error text (fetch.cpp).
enum FetchMessage {
    kFetchOk = 0,         // 特に問題なし
    kFetchBadParameter,   // 不正なパラメータ
    kFetchNotHttp,        // httpのURLではありません
    kFetchAtexitFailed,   // atexit(WSACleanup)失敗
    kFetchStartupFailed,  // WinSockの初期化失敗
    kFetchSocketFailed,   // Socket作成失敗
    kFetchResolveFailed,  // ホストアドレス取得失敗
    kFetchConnectFailed,  // サーバへの接続失敗
    kFetchSendFailed,     // サーバへの送信失敗
    kFetchReceiveFailed,  // サーバからの受信失敗
    kFetchCancelled,      // ユーザによる中断
    kFetchMessageCount
};

// The host's wish to watch a download: `callback(done, total, datum)` as
// bytes arrive and while the server is silent; a non-zero result cancels.
struct FetchWatch {
    int(__stdcall* callback)(int done, int total, LONG_PTR datum);
    LONG_PTR datum;
};

// What a successful download gives.
struct FetchResult {
    HLOCAL body;        // the body in a block of exactly `length` bytes, or NULL when not asked for
    int64_t length;     // body length in bytes
    int64_t timestamp;  // from "Last-Modified:", else "Date:"; -1 no date, 0 unreadable
};

// Downloads `url`: the body too when `keepBody` (else it is counted as it
// arrives and dropped), watched by `watch` when it is not NULL. On kFetchOk
// fills `result`, whose body the caller frees with LocalFree; on any other
// outcome leaves `result` untouched and holds nothing. Never touches the
// process-wide last-error text, so several downloads may run at once.
FetchMessage FetchUrl(const char* url, bool keepBody, const FetchWatch* watch,
                      FetchResult* result);

// The process-wide last-error text: the message of the most recent download
// (Shift-JIS), as its caller records it.
void RecordFetchMessage(FetchMessage message);
const char* HttpLastError();

// FetchUrl and RecordFetchMessage in one: returns the body length (0 or
// more) with the outputs that are not NULL filled in, or -1 on failure with
// the outputs untouched. A NULL `body` asks for the length and timestamp only.
int64_t HttpFetch(const char* url, HLOCAL* body, int64_t* length, int64_t* timestamp);

#endif  // KESTA_HTTP_FETCH_H
