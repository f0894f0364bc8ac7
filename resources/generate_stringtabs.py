#!/usr/bin/env python3
"""Writes the sample UI string tables "stringtab-en.txt" (English) and
"stringtab-zh.txt" (Simplified Chinese): UTF-16LE with a byte-order mark,
one "<slot> <text>" line per used slot, CR LF line ends.

An installation ships one of them as "stringtab.txt" next to the launcher.
Status and detail texts must fit the 140-pixel lines: about 20 Latin or 12
Chinese characters. An "&" on a status line underlines the next character,
so the texts avoid it.

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
    60: ("Server failed, trying the next: ", "服务器失败，改用下一个："),
    61: ("Served by ", "提供者："),
    62: ("New release published during the update, now ", "更新期间发布了新版本，现为 "),
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
