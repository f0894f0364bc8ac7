#!/usr/bin/env python3
"""Writes the sample UI string tables "stringtab-en.txt" (English) and
"stringtab-zh.txt" (Simplified Chinese): UTF-16LE with a byte-order mark,
one "<slot> <text>" line per used slot, CR LF line ends.

An installation ships one of them as "stringtab.txt" next to the launcher.
Status and detail texts must fit the 140-pixel lines: about 20 Latin or 12
Chinese characters. An "&" on a status line underlines the next character,
so the texts avoid it.

Slot 47 formats the lower line while files arrive, from the fields {name}
(the file name the line shows otherwise), {done}, {total}, {bytes} (both
in one unit: "123/456M"), {speed} and {left}. The figures come first and the name last: the line is cut at its
right edge, and the time left must stay in sight.

    python3 resources/generate_stringtabs.py
"""

import os

HERE = os.path.dirname(os.path.abspath(__file__))

# slot: (English, Chinese)
TEXTS = {
    0: ("Cannot move %s to %s", "无法将 %s 移动到 %s"),
    1: ("Cannot copy %s to %s", "无法将 %s 复制到 %s"),
    3: ("Download failed: bad address", "下载失败：地址无效"),
    4: ("Download failed: redirect without location", "下载失败：重定向缺少目标地址"),
    5: ("Download failed: more data than expected", "下载失败：数据超出预期长度"),
    6: ("Download failed: cannot write the local file", "下载失败：无法写入本地文件"),
    7: ("Download failed (error 5)", "下载失败（错误 5）"),
    8: ("Download failed (error 6)", "下载失败（错误 6）"),
    9: ("Download failed: transfer error", "下载失败：传输错误"),
    10: ("Download failed: unknown error", "下载失败：未知错误"),
    11: ("File list rejected: bad signature or unreadable", "文件列表无效：签名错误或无法读取"),
    12: ("Update list is invalid", "更新列表无效"),
    13: ("Checking files...", "正在检查文件..."),
    14: ("Checking file ", "检查文件 "),
    15: ("File needs to be downloaded", "文件需要下载"),
    16: ("Downloading...", "正在下载..."),
    17: ("Downloading file ", "下载文件 "),
    18: ("Cannot unpack the file", "文件解压失败"),
    19: ("Installing downloaded files", "开始安装已下载的文件"),
    20: ("Installing...", "正在安装..."),
    21: ("Installing file ", "安装文件 "),
    22: ("Fetching the full file list", "正在获取完整文件列表"),
    23: ("Fetching file list...", "正在获取文件列表..."),
    24: ("Starting full check", "开始完整检查"),
    25: ("Server information invalid", "服务器信息无效"),
    26: ("Server not reachable", "无法连接服务器"),
    27: ("Wrong game version", "游戏版本不匹配"),
    28: ("Full list ready, checking files", "完整列表已就绪，开始检查文件"),
    29: ("Full check failed", "完整检查失败"),
    30: ("Full check complete", "完整检查完成"),
    31: ("Already up to date: ", "文件已是最新："),
    32: ("Resuming download of ", "继续下载 "),
    33: ("Starting download of ", "开始下载 "),
    34: ("Applying update...", "正在应用更新..."),
    35: ("Removing old files...", "正在删除旧文件..."),
    36: ("Deleting file ", "删除文件 "),
    37: ("Checking for updates", "正在检查更新"),
    38: ("Full check needed", "需要完整检查"),
    39: ("Checking every file", "将检查所有文件"),
    40: ("Update failed", "更新失败"),
    41: ("Up to date", "已是最新版本"),
    42: ("Launcher started", "启动器已启动"),
    43: ("Waiting for patcher...", "正在等待更新程序..."),
    44: ("Patcher still running", "更新程序仍在运行"),
    45: ("Close it and retry", "请关闭后重试"),
    46: ("Patcher already running; nothing updated", "更新程序已在运行，未进行更新"),
    47: ("Checking every file against the full list instead of ",
         "改为按完整文件列表检查所有文件，未使用 "),
    49: ("Release not trusted", "版本信息不可信"),
    50: ("Release statement refused: missing, unreadable, not signed by a trusted key, or for another product",
         "版本声明被拒绝：缺失、无法读取、未由受信任的密钥签名或属于其他产品"),
    51: ("Server release expired", "服务器版本声明已过期"),
    52: ("The server's release statement has expired; nothing was updated",
         "服务器的版本声明已过期，未进行更新"),
    53: ("Release statement refused: its version is below the version trusted before",
         "版本声明被拒绝：其版本低于此前信任的版本"),
    54: ("The version file disagrees with the signed release statement; using the signed version ",
         "版本文件与已签名的版本声明不一致，使用已签名的版本 "),
    55: ("Not enough disk space", "磁盘空间不足"),
    56: ("Not enough free disk space for the update; nothing was fetched",
         "磁盘可用空间不足以进行更新，未下载任何文件"),
    57: ("A list names a file the release manifest does not: ", "列表中的文件不在版本清单中："),
    58: ("Release statement verified for version ", "版本声明已验证，版本 "),
    59: ("A file does not match the release statement: ", "文件与版本声明不符："),
    48: ("{left} left {speed} {bytes} {name}", "剩余{left} {speed} {bytes} {name}"),
    60: ("Whole file, no patch for it: ", "下载完整文件，没有可用补丁："),
    61: ("Whole file, installed copy is no patch base: ", "下载完整文件，已安装的文件不是补丁的基础："),
    62: ("Whole file, patch failed its check: ", "下载完整文件，补丁校验失败："),
    63: ("Whole file, patch could not be applied: ", "下载完整文件，补丁无法应用："),
    64: ("Whole file, too large for a patch: ", "下载完整文件，文件过大无法打补丁："),
    65: ("No patch index on the server; whole files", "服务器没有补丁索引，下载完整文件"),
    66: ("Patch index rejected: bad signature or unreadable; whole files",
         "补丁索引无效：签名错误或无法读取，下载完整文件"),
    67: ("Server failed, trying the next: ", "服务器失败，改用下一个："),
    68: ("Served by ", "提供者："),
    69: ("New release published during the update, now ", "更新期间发布了新版本，现为 "),
}


def write(path, column):
    lines = [f"{slot} {texts[column]}" for slot, texts in sorted(TEXTS.items())]
    data = "\ufeff" + "\r\n".join(lines) + "\r\n"
    with open(path, "wb") as f:
        f.write(data.encode("utf-16-le"))


def main():
    write(os.path.join(HERE, "stringtab-en.txt"), 0)
    write(os.path.join(HERE, "stringtab-zh.txt"), 1)


if __name__ == "__main__":
    main()
