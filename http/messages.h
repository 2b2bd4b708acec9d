// The outcomes of a download and the process-wide last-error text that
// records the most recent one. Every layer of the fetch (socket, TLS,
// redirects) answers with one of these.
#ifndef KESTA_HTTP_MESSAGES_H
#define KESTA_HTTP_MESSAGES_H

// Each outcome's last-error text is given beside it (stored in Shift-JIS,
// each ending in LF but the first).
enum FetchMessage {
    kFetchOk = 0,              // 特に問題なし
    kFetchBadParameter,        // 不正なパラメータ
    kFetchNotHttp,             // httpのURLではありません
    kFetchAtexitFailed,        // atexit(WSACleanup)失敗
    kFetchStartupFailed,       // WinSockの初期化失敗
    kFetchSocketFailed,        // Socket作成失敗
    kFetchResolveFailed,       // ホストアドレス取得失敗
    kFetchConnectFailed,       // サーバへの接続失敗
    kFetchSendFailed,          // サーバへの送信失敗
    kFetchReceiveFailed,       // サーバからの受信失敗
    kFetchCancelled,           // ユーザによる中断
    kFetchTlsUnavailable,      // このシステムではTLSが使えません
    kFetchHandshakeFailed,     // TLSハンドシェイク失敗
    kFetchCertUntrusted,       // サーバ証明書が信頼できません
    kFetchCertNameMismatch,    // サーバ証明書の名前が一致しません
    kFetchCertExpired,         // サーバ証明書の有効期間外
    kFetchTlsReceiveFailed,    // TLSの受信データが不正 (an alert, a record that fails to decrypt)
    kFetchRedirectRefused,     // リダイレクト先を拒否 (a downgrade to http://, another scheme)
    kFetchTooManyRedirects,    // リダイレクトが多すぎます
    kFetchRedirectTooLong,     // リダイレクト先のURLが長すぎます
    kFetchBodyTruncated,       // 受信データがContent-Lengthより短い
    kFetchTimedOut,            // サーバの応答がタイムアウト (no byte for kIdleLimitMs)
    kFetchWriteFailed,         // ファイルの書き込み失敗 (file output)
    kFetchCutShort,            // TLSの終了通知なしに切断 (a body without a length, cut without close_notify)
    kFetchCertWeak,            // サーバ証明書の署名または鍵が弱すぎます (SHA-1 or MD5, a short key)
    kFetchChunkedBroken,       // チャンク形式の本文が不正または途中で終了
    kFetchMessageCount
};

// Records the text of `message` as the process-wide last-error text.
void RecordFetchMessage(FetchMessage message);
// The last-error text (Shift-JIS), "" before any download.
const char* HttpLastError();

#endif  // KESTA_HTTP_MESSAGES_H
