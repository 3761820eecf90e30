<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en">
<context>
    <name>Prompter</name>
    <message>
        <source>Show rows</source>
        <translation>查看各行</translation>
    </message>
    <message>
        <source>Continue</source>
        <translation>继续</translation>
    </message>
    <message>
        <source>Keep</source>
        <translation>保留</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>Serve en/</source>
        <translation>提供 en/</translation>
    </message>
    <message>
        <source>Serve the plain files</source>
        <translation>提供明文文件</translation>
    </message>
</context>
<context>
    <name>core</name>
    <message>
        <source>The generation stopped unexpectedly.</source>
        <translation>生成意外中止。</translation>
    </message>
    <message>
        <source>written</source>
        <translation>已写入</translation>
    </message>
    <message>
        <source>replaced</source>
        <translation>已替换</translation>
    </message>
    <message>
        <source>checked</source>
        <translation>已检查</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>cancelled</source>
        <translation>已取消</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>未知</translation>
    </message>
    <message>
        <source>added</source>
        <translation>已添加</translation>
    </message>
    <message>
        <source>skipped</source>
        <translation>已跳过</translation>
    </message>
    <message>
        <source>deleted</source>
        <translation>已删除</translation>
    </message>
    <message>
        <source>not sent</source>
        <translation>未发送</translation>
    </message>
    <message>
        <source>unknown (sent, no reply)</source>
        <translation>未知（已发送，无应答）</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>登录</translation>
    </message>
    <message>
        <source>Login failed!</source>
        <translation>登录失败！</translation>
    </message>
    <message>
        <source>Add user</source>
        <translation>添加用户</translation>
    </message>
    <message>
        <source>Password different! </source>
        <translation>两次输入的密码不一致！</translation>
    </message>
    <message>
        <source>Add user successed!</source>
        <translation>添加用户成功！</translation>
    </message>
    <message>
        <source>Add user failed!</source>
        <translation>添加用户失败！</translation>
    </message>
    <message>
        <source>Delete user</source>
        <translation>删除用户</translation>
    </message>
    <message>
        <source>Delete user successed!</source>
        <translation>删除用户成功！</translation>
    </message>
    <message>
        <source>Delete user failed!</source>
        <translation>删除用户失败！</translation>
    </message>
    <message>
        <source>ChangePassword</source>
        <translation>修改密码</translation>
    </message>
    <message>
        <source>password not eque</source>
        <translation>两次输入的密码不一致</translation>
    </message>
    <message>
        <source>ChangePassword successed! </source>
        <translation>修改密码成功！</translation>
    </message>
    <message>
        <source>ChangePasswordr failed !</source>
        <translation>修改密码失败！</translation>
    </message>
    <message>
        <source>Add device</source>
        <translation>添加设备</translation>
    </message>
    <message>
        <source>Replace device</source>
        <translation>替换设备</translation>
    </message>
    <message>
        <source>Delete device</source>
        <translation>删除设备</translation>
    </message>
    <message>
        <source>Add device completely!</source>
        <translation>添加设备完成！</translation>
    </message>
    <message>
        <source>Delete device completely!</source>
        <translation>删除设备完成！</translation>
    </message>
    <message>
        <source>%s exist,replace it?</source>
        <translation>%s 已存在，是否替换？</translation>
    </message>
    <message>
        <source>%s add failed!</source>
        <translation>%s 添加失败！</translation>
    </message>
    <message>
        <source>%s replace failed!</source>
        <translation>%s 替换失败！</translation>
    </message>
    <message>
        <source>%s delete failed!</source>
        <translation>%s 删除失败！</translation>
    </message>
    <message>
        <source>The server %s is not answering</source>
        <translation>服务器 %s 无响应</translation>
    </message>
    <message>
        <source>The command stopped on an unexpected error.</source>
        <translation>命令因意外错误而中止。</translation>
    </message>
    <message>
        <source>row %1: %2, with %3 empty</source>
        <translation>第 %1 行：%2，%3 为空</translation>
    </message>
    <message>
        <source>row %1: the plain file was written, but not its encrypted copy: %2</source>
        <translation>第 %1 行：已写入明文文件，但未写入其加密副本：%2</translation>
    </message>
    <message>
        <source>not written: the run was cancelled</source>
        <translation>未写入：本次运行已取消</translation>
    </message>
    <message>
        <source>the server does not accept this MAC address, or the login has expired or the server restarted: log in again</source>
        <translation>服务器不接受此 MAC 地址，或登录已过期、服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>the registration belongs to another user, or the login has expired or the server restarted: log in again</source>
        <translation>该注册属于其他用户，或登录已过期、服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>the login has expired or the server restarted: log in again (or the MAC address is not registered to this user)</source>
        <translation>登录已过期或服务器已重启：请重新登录（或该 MAC 地址未注册到此用户）</translation>
    </message>
    <message>
        <source>the MAC address is not registered to this user, or the login has expired or the server restarted: log in again</source>
        <translation>该 MAC 地址未注册到此用户，或登录已过期、服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>the login has expired or the server restarted: log in again</source>
        <translation>登录已过期或服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>cancelled before it was sent</source>
        <translation>发送前已取消</translation>
    </message>
    <message>
        <source>not sent: %1 (%2)</source>
        <translation>未发送：%1（%2）</translation>
    </message>
    <message>
        <source>the server replied &quot;%1&quot;: %2</source>
        <extracomment>%1 is the server&apos;s reply word, %2 the likely causes</extracomment>
        <translation>服务器应答“%1”：%2</translation>
    </message>
    <message>
        <source>abandoned at the cancel</source>
        <translation>取消时已放弃</translation>
    </message>
    <message>
        <source>abandoned when the batch stopped</source>
        <translation>批处理停止时已放弃</translation>
    </message>
    <message>
        <source>sent, but no reply: %1</source>
        <translation>已发送，但没有应答：%1</translation>
    </message>
    <message>
        <source>registered to another account</source>
        <translation>已注册到其他账号</translation>
    </message>
    <message>
        <source>already registered; not replaced, the batch ended</source>
        <translation>已注册；未替换，批处理已结束</translation>
    </message>
    <message>
        <source>already registered; not replaced</source>
        <translation>已注册；未替换</translation>
    </message>
    <message>
        <source>already registered</source>
        <translation>已注册</translation>
    </message>
    <message>
        <source>not logged in from this address (the login expired, the password was changed or the server restarted): log in again</source>
        <translation>未从此地址登录（登录已过期、密码已更改或服务器已重启）：请重新登录</translation>
    </message>
    <message>
        <source>the server could not do it now and changed nothing: try again later</source>
        <translation>服务器目前无法执行，未做任何更改：请稍后重试</translation>
    </message>
    <message>
        <source>the server does not accept the name, MAC address or password as given</source>
        <translation>服务器不接受所给的名称、MAC 地址或密码</translation>
    </message>
    <message>
        <source>%1 (it replied &quot;%2&quot;)</source>
        <translation>%1（服务器应答“%2”）</translation>
    </message>
    <message>
        <source>the server refused the request (it replied &quot;%1&quot;)</source>
        <translation>服务器拒绝了请求（应答“%1”）</translation>
    </message>
    <message>
        <source>this server does not list devices</source>
        <translation>此服务器不支持列出设备</translation>
    </message>
    <message>
        <source>no input file chosen</source>
        <translation>未选择输入文件</translation>
    </message>
    <message>
        <source>no template file chosen</source>
        <translation>未选择模板文件</translation>
    </message>
    <message>
        <source>no output folder chosen</source>
        <translation>未选择输出文件夹</translation>
    </message>
    <message>
        <source>No MAC file was chosen.</source>
        <translation>未选择 MAC 文件。</translation>
    </message>
    <message>
        <source>the password and its confirmation differ</source>
        <translation>密码与确认密码不一致</translation>
    </message>
    <message>
        <source>no spreadsheet file was given</source>
        <translation>未提供表格文件</translation>
    </message>
    <message>
        <source>the request failed</source>
        <translation>请求失败</translation>
    </message>
    <message>
        <source>there is no such user, or the administrator&apos;s login has expired or the server restarted: log in again</source>
        <translation>没有该用户，或管理员登录已过期、服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>the new password is empty, or the login has expired or the server restarted: log in again</source>
        <translation>新密码为空，或登录已过期、服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>the name or password was refused</source>
        <translation>用户名或密码被拒绝</translation>
    </message>
    <message>
        <source>the name is taken or not acceptable, or the administrator&apos;s login has expired or the server restarted: log in again</source>
        <translation>用户名已被占用或不可接受，或管理员登录已过期、服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>the password is empty, or the administrator&apos;s login has expired or the server restarted: log in again</source>
        <translation>密码为空，或管理员登录已过期、服务器已重启：请重新登录</translation>
    </message>
    <message>
        <source>refused</source>
        <translation>已拒绝</translation>
    </message>
    <message>
        <source>The MAC addresses are written with letters in both cases, and phones ask in one case: set mac-form to lower or upper.</source>
        <translation>MAC 地址中的字母大小写混用，而话机只按一种大小写请求：请将 mac-form 设为 lower 或 upper。</translation>
    </message>
    <message>
        <source>usable</source>
        <translation>可用</translation>
    </message>
    <message>
        <source>not sent: the login to %1 has ended (the server refused the requests as not logged in)</source>
        <translation>未发送：在 %1 的登录已结束（服务器以未登录为由拒绝了请求）</translation>
    </message>
    <message>
        <source>No MAC address was given.</source>
        <translation>未提供 MAC 地址。</translation>
    </message>
    <message>
        <source>empty</source>
        <translation>空</translation>
    </message>
    <message>
        <source>%1 hex digits, not 12</source>
        <translation>%1 个十六进制数字，应为 12 个</translation>
    </message>
    <message>
        <source>the separator changes</source>
        <translation>分隔符前后不一致</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a hex digit</source>
        <translation>“%1”不是十六进制数字</translation>
    </message>
    <message>
        <source>the digits are not in six groups of two or three groups of four</source>
        <translation>数字未按六组两位或三组四位分组</translation>
    </message>
    <message>
        <source>the all-zero address</source>
        <translation>全零地址</translation>
    </message>
    <message>
        <source>the broadcast address</source>
        <translation>广播地址</translation>
    </message>
    <message>
        <source>a group address (lowest bit of the first byte set)</source>
        <translation>组播地址（第一个字节的最低位为 1）</translation>
    </message>
    <message>
        <source>not a MAC address</source>
        <translation>不是 MAC 地址</translation>
    </message>
    <message>
        <source>written as %1</source>
        <translation>写为 %1</translation>
    </message>
    <message>
        <source>repeats row %1</source>
        <translation>与第 %1 行重复</translation>
    </message>
    <message>
        <source>repeats cell %1</source>
        <translation>与单元格 %1 重复</translation>
    </message>
    <message>
        <source>header</source>
        <translation>表头</translation>
    </message>
    <message>
        <source>cannot write output file %1: it is %2</source>
        <extracomment>%1 is the output file, %2 what it is (a folder, a block device)</extracomment>
        <translation>无法写入输出文件 %1：它是%2</translation>
    </message>
    <message>
        <source>%1 is not an encrypted configuration file: its size (%2 bytes) is not a multiple of 16</source>
        <extracomment>%1 is the input file, %2 its size in bytes</extracomment>
        <translation>%1 不是加密的配置文件：其大小（%2 字节）不是 16 的倍数</translation>
    </message>
    <message>
        <source>encrypting %1 was cancelled</source>
        <translation>已取消加密 %1</translation>
    </message>
    <message>
        <source>decrypting %1 was cancelled</source>
        <translation>已取消解密 %1</translation>
    </message>
    <message>
        <source>no output file chosen</source>
        <translation>未选择输出文件</translation>
    </message>
    <message>
        <source>cannot write output file %1: %2</source>
        <extracomment>%1 is the output file, %2 why it cannot be written</extracomment>
        <translation>无法写入输出文件 %1：%2</translation>
    </message>
    <message>
        <source>it is not valid UTF-8 text</source>
        <translation>它不是有效的 UTF-8 文本</translation>
    </message>
    <message>
        <source>it holds the character %1, which XML cannot carry</source>
        <extracomment>%1 is a character&apos;s code (U+0001)</extracomment>
        <translation>它含有字符 %1，XML 无法容纳该字符</translation>
    </message>
    <message>
        <source>cannot write the document from %1</source>
        <translation>无法写出来自 %1 的文档</translation>
    </message>
    <message>
        <source>cannot write the document from %1: %2</source>
        <extracomment>%1 is the template, %2 the XML library&apos;s reason</extracomment>
        <translation>无法写出来自 %1 的文档：%2</translation>
    </message>
    <message>
        <source>cannot write the document from %1 in its encoding %2 (a character in a name, comment or processing instruction may have no code there)</source>
        <extracomment>%1 is the template, %2 its encoding</extracomment>
        <translation>无法以其编码 %2 写出来自 %1 的文档（名称、注释或处理指令中的某个字符可能在该编码中没有对应编码）</translation>
    </message>
    <message>
        <source>cannot write the document from %1 in its encoding %2 (a character in a name, comment or processing instruction may have no code there): %3</source>
        <extracomment>%1 is the template, %2 its encoding, %3 the XML library&apos;s reason</extracomment>
        <translation>无法以其编码 %2 写出来自 %1 的文档（名称、注释或处理指令中的某个字符可能在该编码中没有对应编码）：%3</translation>
    </message>
    <message>
        <source>cannot write XML in the encoding %1</source>
        <translation>无法以编码 %1 写出 XML</translation>
    </message>
    <message>
        <source>cannot load the template: %1</source>
        <extracomment>%1 why the template cannot be read</extracomment>
        <translation>无法加载模板：%1</translation>
    </message>
    <message>
        <source>it has a document type declaration (&lt;!DOCTYPE ...&gt;), which templates may not have</source>
        <translation>它含有文档类型声明（&lt;!DOCTYPE ...&gt;），模板中不允许有</translation>
    </message>
    <message>
        <source>not well-formed XML</source>
        <translation>XML 格式不正确</translation>
    </message>
    <message>
        <source>it has no document element</source>
        <translation>它没有文档根元素</translation>
    </message>
    <message>
        <source>cannot load the template %1: %2</source>
        <extracomment>%1 is the template, %2 what is wrong with it</extracomment>
        <translation>无法加载模板 %1：%2</translation>
    </message>
    <message>
        <source>larger than %1 bytes</source>
        <translation>大于 %1 字节</translation>
    </message>
    <message>
        <source>the file is empty</source>
        <translation>文件为空</translation>
    </message>
    <message>
        <source>it holds characters that its encoding %1 cannot write in a name, comment, CDATA section or processing instruction; declare an encoding that has them (UTF-8, or GBK for GB2312)</source>
        <extracomment>%1 is the template&apos;s encoding</extracomment>
        <translation>它在名称、注释、CDATA 段或处理指令中含有其编码 %1 无法写出的字符；请声明包含这些字符的编码（UTF-8，或以 GBK 代替 GB2312）</translation>
    </message>
    <message>
        <source>row %1 has no column %2, which the template&apos;s %3 element takes its value from</source>
        <extracomment>%1 is a row, %2 a column (C), %3 an element of the template</extracomment>
        <translation>第 %1 行没有 %2 列，而模板的 %3 元素取值于该列</translation>
    </message>
    <message>
        <source>row %1, column %2 (%3): %4</source>
        <extracomment>%1 is a row, %2 a column (C), %3 an element of the template or a column&apos;s header, %4 what is wrong</extracomment>
        <translation>第 %1 行，%2 列（%3）：%4</translation>
    </message>
    <message>
        <source>no device sheet chosen</source>
        <translation>未选择设备表格</translation>
    </message>
    <message>
        <source>the MAC cell (column A) is empty</source>
        <translation>MAC 单元格（A 列）为空</translation>
    </message>
    <message>
        <source>the MAC text is too long to name a file</source>
        <translation>MAC 文本太长，无法用作文件名</translation>
    </message>
    <message>
        <source>the MAC text holds a path separator</source>
        <translation>MAC 文本含有路径分隔符</translation>
    </message>
    <message>
        <source>the MAC text holds &quot;..&quot;</source>
        <translation>MAC 文本含有“..”</translation>
    </message>
    <message>
        <source>the MAC text starts with a dot, which would hide the file</source>
        <translation>MAC 文本以点开头，会使文件成为隐藏文件</translation>
    </message>
    <message>
        <source>the MAC text holds a control character</source>
        <translation>MAC 文本含有控制字符</translation>
    </message>
    <message>
        <source>cannot create the output folder %1: %2</source>
        <extracomment>%1 is the folder, %2 the system&apos;s reason</extracomment>
        <translation>无法创建输出文件夹 %1：%2</translation>
    </message>
    <message>
        <source>not a folder</source>
        <translation>不是文件夹</translation>
    </message>
    <message>
        <source>template</source>
        <translation>模板</translation>
    </message>
    <message>
        <source>device sheet</source>
        <translation>设备表格</translation>
    </message>
    <message>
        <source>row %1: %2</source>
        <translation>第 %1 行：%2</translation>
    </message>
    <message>
        <source>row %1: its file would replace the %2; it was left alone</source>
        <extracomment>%1 is a row, %2 which input: the template or the device sheet</extracomment>
        <translation>第 %1 行：其文件会替换%2；%2未被改动</translation>
    </message>
    <message>
        <source>row %1: replaced by row %2</source>
        <translation>第 %1 行：被第 %2 行取代</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <extracomment>a row&apos;s reason, then a note on it</extracomment>
        <translation>%1（%2）</translation>
    </message>
    <message>
        <source>the output folder %1 is not a folder</source>
        <translation>输出文件夹 %1 不是文件夹</translation>
    </message>
    <message>
        <source>the report has %1 rows, more than a workbook sheet holds</source>
        <translation>报告有 %1 行，超过一个工作表所能容纳的行数</translation>
    </message>
    <message>
        <source>cannot make a temporary folder for the workbook</source>
        <translation>无法为工作簿创建临时文件夹</translation>
    </message>
    <message>
        <source>cannot start the workbook in %1</source>
        <translation>无法在 %1 中创建工作簿</translation>
    </message>
    <message>
        <source>cannot write the workbook: %1</source>
        <extracomment>%1 is the workbook library&apos;s reason</extracomment>
        <translation>无法写入工作簿：%1</translation>
    </message>
    <message>
        <source>cannot read back the workbook %1</source>
        <translation>无法读回工作簿 %1</translation>
    </message>
    <message>
        <source>the UTF-16 text ends in half a character</source>
        <translation>UTF-16 文本结尾处只有半个字符</translation>
    </message>
    <message>
        <source>the UTF-16 text holds a broken surrogate pair</source>
        <translation>UTF-16 文本含有损坏的代理对</translation>
    </message>
    <message>
        <source>line %1: quoted field never closed</source>
        <translation>第 %1 行：带引号的字段没有结束引号</translation>
    </message>
    <message>
        <source>record %1, field %2 holds more than %3 characters, more than a spreadsheet cell can hold</source>
        <extracomment>%1 is a record (a line), %2 a field&apos;s number in it, %3 a number of characters</extracomment>
        <translation>第 %1 条记录的第 %2 个字段超过 %3 个字符，超出表格单元格所能容纳的长度</translation>
    </message>
    <message>
        <source>line %1 is not UTF-8 text; save the file as CSV UTF-8</source>
        <translation>第 %1 行不是 UTF-8 文本；请将文件另存为 CSV UTF-8</translation>
    </message>
    <message>
        <source>line %1 holds a NUL byte; this is not a text file</source>
        <translation>第 %1 行含有 NUL 字节；这不是文本文件</translation>
    </message>
    <message>
        <source>record %1, field %2 lies past the last row (1048576) or column (16384) a sheet can hold</source>
        <translation>第 %1 条记录的第 %2 个字段超出工作表所能容纳的最后一行（1048576）或最后一列（16384）</translation>
    </message>
    <message>
        <source>it holds more text than a sheet may hold (4 GiB)</source>
        <translation>其中文本超过一个工作表所能容纳的量（4 GiB）</translation>
    </message>
    <message>
        <source>the sheet holds more than %1 cells</source>
        <translation>工作表的单元格超过 %1 个</translation>
    </message>
    <message>
        <source>the reading was cancelled</source>
        <translation>已取消读取</translation>
    </message>
    <message>
        <source>the part %1 is missing</source>
        <extracomment>%1 is a part (a file inside the workbook&apos;s zip container)</extracomment>
        <translation>缺少部件 %1</translation>
    </message>
    <message>
        <source>cannot read &quot;%1&quot;: %2</source>
        <extracomment>%1 is the sheet&apos;s file, %2 what is wrong with it</extracomment>
        <translation>无法读取“%1”：%2</translation>
    </message>
    <message>
        <source>cannot read &quot;%1&quot;: %2 is not supported; save the workbook as .xlsx or .csv</source>
        <extracomment>%1 is the sheet&apos;s file, %2 its kind (a file type, a file without an extension)</extracomment>
        <translation>无法读取“%1”：不支持%2；请将工作簿另存为 .xlsx 或 .csv</translation>
    </message>
    <message>
        <source>cannot read &quot;%1&quot;: no such file</source>
        <translation>无法读取“%1”：文件不存在</translation>
    </message>
    <message>
        <source>cannot read &quot;%1&quot;: it is a folder, not a file</source>
        <translation>无法读取“%1”：它是文件夹，不是文件</translation>
    </message>
    <message>
        <source>the binary workbook format (%1)</source>
        <translation>二进制工作簿格式（%1）</translation>
    </message>
    <message>
        <source>a file without an extension</source>
        <translation>没有扩展名的文件</translation>
    </message>
    <message>
        <source>the file type %1</source>
        <translation>文件类型 %1</translation>
    </message>
    <message>
        <source>row number %1 is not a number</source>
        <translation>行号 %1 不是数字</translation>
    </message>
    <message>
        <source>row %1 lies past the last row a sheet can hold (%2)</source>
        <translation>第 %1 行超出工作表所能容纳的最后一行（%2）</translation>
    </message>
    <message>
        <source>cell reference %1 is not a cell address</source>
        <translation>单元格引用 %1 不是单元格地址</translation>
    </message>
    <message>
        <source>cell %1 lies past column XFD, the last a sheet can hold</source>
        <translation>单元格 %1 超出工作表所能容纳的最后一列 XFD</translation>
    </message>
    <message>
        <source>cell %1 lies past row %2, the last a sheet can hold</source>
        <translation>单元格 %1 超出工作表所能容纳的最后一行 %2</translation>
    </message>
    <message>
        <source>row %1 holds cells past column XFD, the last a sheet can hold</source>
        <translation>第 %1 行含有超出最后一列 XFD 的单元格</translation>
    </message>
    <message>
        <source>cell %1 has the unknown type %2</source>
        <extracomment>%1 is a cell (B7), %2 the type as the file writes it, in quotes</extracomment>
        <translation>单元格 %1 的类型 %2 未知</translation>
    </message>
    <message>
        <source>cell %1 holds %2, which is not a number</source>
        <translation>单元格 %1 的内容 %2 不是数字</translation>
    </message>
    <message>
        <source>cell %1 refers to shared string %2, but the workbook has %3</source>
        <extracomment>%1 is a cell (B7), %2 the string&apos;s number, %3 how many the workbook has</extracomment>
        <translation>单元格 %1 引用了共享字符串 %2，但工作簿只有 %3 个</translation>
    </message>
    <message>
        <source>cell %1 holds %2, which is not a boolean</source>
        <translation>单元格 %1 的内容 %2 不是布尔值</translation>
    </message>
    <message>
        <source>cell %1 holds %2, which is not a date</source>
        <translation>单元格 %1 的内容 %2 不是日期</translation>
    </message>
    <message>
        <source>a relationship target climbs out of its folder (%1); refusing it</source>
        <extracomment>%1 is the target, as the workbook names it, in quotes</extracomment>
        <translation>关系目标超出了其所在文件夹（%1）；已拒绝</translation>
    </message>
    <message>
        <source>a relationship has an empty target</source>
        <translation>某个关系的目标为空</translation>
    </message>
    <message>
        <source>it is not an .xlsx workbook (the zip holds no workbook part %1)</source>
        <translation>它不是 .xlsx 工作簿（zip 中没有工作簿部件 %1）</translation>
    </message>
    <message>
        <source>the workbook lists no sheets</source>
        <translation>工作簿中没有工作表</translation>
    </message>
    <message>
        <source>the active sheet %1 is not a worksheet (a chart or dialog sheet holds no cells)</source>
        <extracomment>%1 is the sheet&apos;s name in quotes</extracomment>
        <translation>当前工作表 %1 不是普通工作表（图表或对话框工作表没有单元格）</translation>
    </message>
    <message>
        <source>the part %1 of sheet %2 is missing</source>
        <extracomment>%1 is a part of the workbook, %2 the sheet&apos;s name in quotes</extracomment>
        <translation>缺少工作表 %2 的部件 %1</translation>
    </message>
    <message>
        <source>the sheet %1 has no part in the workbook</source>
        <translation>工作表 %1 在工作簿中没有对应部件</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <extracomment>%1 is what was asked (&quot;Add user&quot;, &quot;login&quot;), %2 why it failed
----------
%1 is the key (&quot;[kesto] ports&quot;), %2 what is wrong with its value
----------
%1 is a part of the workbook, %2 what is wrong in it</extracomment>
        <translation>%1：%2</translation>
    </message>
    <message>
        <source>%1 carries a document type declaration, which workbooks never need; refusing it</source>
        <translation>%1 含有文档类型声明，工作簿从不需要它；已拒绝</translation>
    </message>
    <message>
        <source>%1 is not well-formed XML (%2)</source>
        <extracomment>%1 is a part of the workbook, %2 the XML parser&apos;s reason</extracomment>
        <translation>%1 不是格式正确的 XML（%2）</translation>
    </message>
    <message>
        <source>%1 is not well-formed XML</source>
        <translation>%1 不是格式正确的 XML</translation>
    </message>
    <message>
        <source>it is not an .xlsx workbook (not a zip archive)</source>
        <translation>它不是 .xlsx 工作簿（不是 zip 压缩包）</translation>
    </message>
    <message>
        <source>the workbook&apos;s zip container is inconsistent (damaged, or it names a member twice)</source>
        <translation>工作簿的 zip 容器不一致（已损坏，或同一成员出现两次）</translation>
    </message>
    <message>
        <source>no such file</source>
        <translation>文件不存在</translation>
    </message>
    <message>
        <source>the file cannot be read (%1)</source>
        <extracomment>%1 is the zip library&apos;s reason</extracomment>
        <translation>无法读取文件（%1）</translation>
    </message>
    <message>
        <source>the workbook&apos;s zip container is damaged (%1)</source>
        <extracomment>%1 is the zip library&apos;s reason</extracomment>
        <translation>工作簿的 zip 容器已损坏（%1）</translation>
    </message>
    <message>
        <source>it is a password-protected workbook or an old binary (.xls) workbook, which is not supported; save the workbook without a password as .xlsx or .csv</source>
        <translation>它是受密码保护的工作簿或旧的二进制（.xls）工作簿，不受支持；请将工作簿不设密码另存为 .xlsx 或 .csv</translation>
    </message>
    <message>
        <source>the workbook&apos;s zip container holds %1 members; refusing it</source>
        <translation>工作簿的 zip 容器含有 %1 个成员；已拒绝</translation>
    </message>
    <message>
        <source>the workbook&apos;s zip container names the member %1 twice; refusing it</source>
        <translation>工作簿的 zip 容器两次列出成员 %1；已拒绝</translation>
    </message>
    <message>
        <source>the part %1 would inflate past %2 MiB in all; refusing it as a zip bomb</source>
        <extracomment>%1 is a part of the workbook, %2 a number of MiB</extracomment>
        <translation>部件 %1 解压后总计将超过 %2 MiB；作为 zip 炸弹拒绝</translation>
    </message>
    <message>
        <source>the part %1 would inflate %2 times its stored size; refusing it as a zip bomb</source>
        <translation>部件 %1 解压后将是其存储大小的 %2 倍；作为 zip 炸弹拒绝</translation>
    </message>
    <message>
        <source>the part %1 cannot be examined</source>
        <translation>无法检查部件 %1</translation>
    </message>
    <message>
        <source>the part %1 is encrypted</source>
        <translation>部件 %1 已加密</translation>
    </message>
    <message>
        <source>the part %1 cannot be opened (%2)</source>
        <extracomment>%1 is a part of the workbook, %2 the zip library&apos;s reason</extracomment>
        <translation>无法打开部件 %1（%2）</translation>
    </message>
    <message>
        <source>the part %1 is damaged (%2)</source>
        <extracomment>%1 is a part of the workbook, %2 the zip library&apos;s reason</extracomment>
        <translation>部件 %1 已损坏（%2）</translation>
    </message>
    <message>
        <source>the part %1 inflates past the size its zip entry declares; refusing a damaged or hostile archive</source>
        <translation>部件 %1 解压后超过其 zip 条目声明的大小；拒绝损坏或恶意的压缩包</translation>
    </message>
    <message>
        <source>cannot open folder %1: %2</source>
        <translation>无法打开文件夹 %1：%2</translation>
    </message>
    <message>
        <source>cannot sync folder %1: %2</source>
        <translation>无法同步文件夹 %1：%2</translation>
    </message>
    <message>
        <source>cannot write %1: %2</source>
        <translation>无法写入 %1：%2</translation>
    </message>
    <message>
        <source>cannot connect to %1: %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the system&apos;s reason (&quot;Connection refused&quot;)</extracomment>
        <translation>无法连接到 %1：%2</translation>
    </message>
    <message>
        <source>waiting for a reader of %1 was stopped</source>
        <translation>已停止等待 %1 的读取方</translation>
    </message>
    <message>
        <source>cannot write %1: it changed while being opened</source>
        <translation>无法写入 %1：它在打开过程中被更改</translation>
    </message>
    <message>
        <source>no output file name given</source>
        <translation>未给出输出文件名</translation>
    </message>
    <message>
        <source>cannot create a file in %1: %2</source>
        <translation>无法在 %1 中创建文件：%2</translation>
    </message>
    <message>
        <source>cannot create a temporary file in %1</source>
        <translation>无法在 %1 中创建临时文件</translation>
    </message>
    <message>
        <source>cannot replace %1: %2</source>
        <translation>无法替换 %1：%2</translation>
    </message>
    <message>
        <source>cannot open %1: %2</source>
        <translation>无法打开 %1：%2</translation>
    </message>
    <message>
        <source>cannot sync %1: %2</source>
        <translation>无法同步 %1：%2</translation>
    </message>
    <message>
        <source>the output file %1 is the input file %2 itself; choose another output file</source>
        <extracomment>%1 is the output file, %2 the input file</extracomment>
        <translation>输出文件 %1 就是输入文件 %2 本身；请选择其他输出文件</translation>
    </message>
    <message>
        <source>cannot read %1: larger than %2 bytes</source>
        <extracomment>%1 is the file, %2 a number of bytes</extracomment>
        <translation>无法读取 %1：大于 %2 字节</translation>
    </message>
    <message>
        <source>cannot open &apos;%1&apos;: %2</source>
        <translation>无法打开“%1”：%2</translation>
    </message>
    <message>
        <source>cannot read &apos;%1&apos;: %2</source>
        <translation>无法读取“%1”：%2</translation>
    </message>
    <message>
        <source>cannot seek &apos;%1&apos;: %2</source>
        <translation>无法定位“%1”：%2</translation>
    </message>
    <message>
        <source>no file given</source>
        <translation>未给出文件</translation>
    </message>
    <message>
        <source>cannot read %1: %2</source>
        <translation>无法读取 %1：%2</translation>
    </message>
    <message>
        <source>%1 is %2, not a file</source>
        <extracomment>%1 is the path, %2 what it is (a FIFO, a folder, a device...)</extracomment>
        <translation>%1 是%2，不是文件</translation>
    </message>
    <message>
        <source>a FIFO</source>
        <translation>FIFO 管道</translation>
    </message>
    <message>
        <source>a folder</source>
        <translation>文件夹</translation>
    </message>
    <message>
        <source>a character device</source>
        <translation>字符设备</translation>
    </message>
    <message>
        <source>a block device</source>
        <translation>块设备</translation>
    </message>
    <message>
        <source>a socket</source>
        <translation>套接字</translation>
    </message>
    <message>
        <source>a symbolic link</source>
        <translation>符号链接</translation>
    </message>
    <message>
        <source>a file</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>%1 belongs to another user (uid %2), not to you or root</source>
        <extracomment>%1 is the file, %2 its owner&apos;s user number</extracomment>
        <translation>%1 属于另一个用户（uid %2），不属于你或 root</translation>
    </message>
    <message>
        <source>%1 is writable by every user</source>
        <translation>%1 可被所有用户写入</translation>
    </message>
    <message>
        <source>line %1: %2</source>
        <extracomment>%1 is a line number, %2 the XML library&apos;s message</extracomment>
        <translation>第 %1 行：%2</translation>
    </message>
    <message>
        <source>error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>file open error</source>
        <translation>文件打开错误</translation>
    </message>
    <message>
        <source>file open error !</source>
        <translation>文件打开错误！</translation>
    </message>
    <message>
        <source>Cannot read the report %1: %2</source>
        <extracomment>%1 is the report&apos;s file, %2 why it cannot be read</extracomment>
        <translation>无法读取报告 %1：%2</translation>
    </message>
    <message>
        <source>its row or column is no number</source>
        <translation>其行号或列号不是数字</translation>
    </message>
    <message>
        <source>its cell &apos;%1&apos; is not row %2, column %3</source>
        <extracomment>%1 is the cell&apos;s name as the line gives it, %2 and %3 its row and column</extracomment>
        <translation>其单元格“%1”不是第 %2 行第 %3 列</translation>
    </message>
    <message>
        <source>its operation &apos;%1&apos; is unknown</source>
        <extracomment>%1 is the operation the line gives</extracomment>
        <translation>其操作“%1”无法识别</translation>
    </message>
    <message>
        <source>its outcome &apos;%1&apos; is unknown</source>
        <extracomment>%1 is the outcome the line gives</extracomment>
        <translation>其结果“%1”无法识别</translation>
    </message>
    <message>
        <source>%1 is not a device report: its first line is not row,column,cell,mac,operation,outcome,reason.</source>
        <extracomment>%1 is the file; the column names stay as they are</extracomment>
        <translation>%1 不是设备报告：其第一行不是 row,column,cell,mac,operation,outcome,reason。</translation>
    </message>
    <message>
        <source>%1 line %2 is not a device report line: %3.</source>
        <extracomment>%1 is the file, %2 the line, %3 what is wrong with it</extracomment>
        <translation>%1 第 %2 行不是设备报告行：%3。</translation>
    </message>
    <message>
        <source>%1 line %2 mixes add and delete rows: a report is of one of them.</source>
        <extracomment>%1 is the file, %2 the line</extracomment>
        <translation>%1 第 %2 行混用了添加行和删除行：一份报告只能是其中一种。</translation>
    </message>
    <message>
        <source>%1; nothing was sent</source>
        <extracomment>%1 is why the record cannot be made</extracomment>
        <translation>%1；未发送任何内容</translation>
    </message>
    <message>
        <source>cannot resolve the server name &quot;%1&quot;: %2</source>
        <extracomment>%1 is the server&apos;s name, %2 the resolver&apos;s reason</extracomment>
        <translation>无法解析服务器名称“%1”：%2</translation>
    </message>
    <message>
        <source>no address</source>
        <translation>没有地址</translation>
    </message>
    <message>
        <source>no connection to %1 within %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the time allowed (&quot;5 s&quot;)</extracomment>
        <translation>%2 内未能连接到 %1</translation>
    </message>
    <message>
        <source>no name at all</source>
        <translation>没有任何名称</translation>
    </message>
    <message>
        <source>%1 and %2</source>
        <extracomment>a list of the names a certificate is issued for: %1 is &quot;a&quot; or &quot;a, b&quot;, %2 the last name</extracomment>
        <translation>%1 和 %2</translation>
    </message>
    <message>
        <source>cannot create a TLS context: %1</source>
        <extracomment>%1 is OpenSSL&apos;s own message</extracomment>
        <translation>无法创建 TLS 上下文：%1</translation>
    </message>
    <message>
        <source>cannot load the trusted certificates from &quot;%1&quot;</source>
        <extracomment>%1 is the CA certificate file</extracomment>
        <translation>无法从“%1”加载受信任的证书</translation>
    </message>
    <message>
        <source>cannot load the trusted certificates from &quot;%1&quot;: %2</source>
        <extracomment>%1 is the CA certificate file, %2 OpenSSL&apos;s own message</extracomment>
        <translation>无法从“%1”加载受信任的证书：%2</translation>
    </message>
    <message>
        <source>cannot set up TLS: %1</source>
        <extracomment>%1 is OpenSSL&apos;s own message</extracomment>
        <translation>无法建立 TLS：%1</translation>
    </message>
    <message>
        <source>no TLS handshake with %1 within %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the time allowed (&quot;5 s&quot;)</extracomment>
        <translation>%2 内未能与 %1 完成 TLS 握手</translation>
    </message>
    <message>
        <source>the server at %1 closed the connection before the TLS handshake ended: it may be overloaded; try again later</source>
        <extracomment>%1 is the server&apos;s host:port</extracomment>
        <translation>%1 上的服务器在 TLS 握手完成前关闭了连接：它可能负载过高；请稍后重试</translation>
    </message>
    <message>
        <source>TLS handshake with %1 failed</source>
        <extracomment>%1 is the server&apos;s host:port</extracomment>
        <translation>与 %1 的 TLS 握手失败</translation>
    </message>
    <message>
        <source>TLS handshake with %1 failed: %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 OpenSSL&apos;s own message</extracomment>
        <translation>与 %1 的 TLS 握手失败：%2</translation>
    </message>
    <message>
        <source>the server at %1 presented no certificate</source>
        <extracomment>%1 is the server&apos;s host:port</extracomment>
        <translation>%1 上的服务器没有出示证书</translation>
    </message>
    <message>
        <source>the certificate of %1 names %2 only in its common name (CN), which is not checked: it needs a subjectAltName for %3</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the name in the certificate, %3 the address asked for</extracomment>
        <translation>%1 的证书只在通用名称（CN）中写有 %2，而 CN 不被检查：证书需要包含 %3 的 subjectAltName</translation>
    </message>
    <message>
        <source>the certificate of %1 is for %2, not %3</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the names in the certificate, %3 the name or address asked for</extracomment>
        <translation>%1 的证书签发给 %2，而不是 %3</translation>
    </message>
    <message>
        <source>the certificate of %1 is not signed by a CA in %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the CA certificate file</extracomment>
        <translation>%1 的证书不是由 %2 中的 CA 签发的</translation>
    </message>
    <message>
        <source>the certificate of %1 is not trusted: %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 OpenSSL&apos;s own reason</extracomment>
        <translation>%1 的证书不受信任：%2</translation>
    </message>
    <message>
        <source>the server&apos;s listing breaks the layout: %1</source>
        <extracomment>%1 is what was wrong with the listing</extracomment>
        <translation>服务器的设备列表不符合格式：%1</translation>
    </message>
    <message>
        <source>it announced %1 rows and ended after %2 whole ones</source>
        <extracomment>%1 and %2 are numbers of rows</extracomment>
        <translation>它声明有 %1 行，却在 %2 个完整行之后结束</translation>
    </message>
    <message>
        <source>row %1 of the server&apos;s listing does not hold a MAC address in the canonical form</source>
        <extracomment>%1 is a row number</extracomment>
        <translation>服务器列表的第 %1 行不是规范格式的 MAC 地址</translation>
    </message>
    <message>
        <source>row %1 of the server&apos;s listing is another account&apos;s device</source>
        <extracomment>%1 is a row number</extracomment>
        <translation>服务器列表的第 %1 行是另一个账户的设备</translation>
    </message>
    <message>
        <source>the server answered the page at row %1 with the page at row %2</source>
        <extracomment>%1 and %2 are row numbers</extracomment>
        <translation>请求从第 %1 行开始的页面，服务器却应答了从第 %2 行开始的页面</translation>
    </message>
    <message>
        <source>the devices changed while they were listed (%1, then %2): list them again</source>
        <extracomment>%1 and %2 are numbers of devices, before and after</extracomment>
        <translation>列出设备期间设备发生了变化（先是 %1 台，后是 %2 台）：请重新列出</translation>
    </message>
    <message>
        <source>the page at row %1 holds %2 rows, not %3</source>
        <extracomment>%1 is a row number, %2 and %3 numbers of rows</extracomment>
        <translation>从第 %1 行开始的页面有 %2 行，而不是 %3 行</translation>
    </message>
    <message>
        <source>the devices changed while they were listed (row %1 repeats or precedes the one before it): list them again</source>
        <extracomment>%1 is a row number</extracomment>
        <translation>列出设备期间设备发生了变化（第 %1 行与前一行重复或排在其前）：请重新列出</translation>
    </message>
    <message>
        <source>the server answered the question about one MAC address with %1 devices</source>
        <extracomment>%1 is a number of devices</extracomment>
        <translation>查询一个 MAC 地址，服务器却应答了 %1 台设备</translation>
    </message>
    <message>
        <source>the server answered the question about %1 with another MAC address</source>
        <extracomment>%1 is the MAC address asked about</extracomment>
        <translation>查询 %1，服务器却应答了另一个 MAC 地址</translation>
    </message>
    <message>
        <source>The Server text is %1 bytes long; its field holds at most %2 bytes.</source>
        <extracomment>%1 and %2 are byte counts</extracomment>
        <translation>服务器文本长 %1 字节；其字段最多容纳 %2 字节。</translation>
    </message>
    <message>
        <source>The Server text of row %1 is %2 bytes long; its field holds at most %3 bytes.</source>
        <extracomment>%1 is a row of the device sheet, %2 and %3 are byte counts</extracomment>
        <translation>第 %1 行的服务器文本长 %2 字节；其字段最多容纳 %3 字节。</translation>
    </message>
    <message>
        <source>The user name is %1 bytes long; its field holds at most %2 bytes.</source>
        <extracomment>%1 and %2 are byte counts</extracomment>
        <translation>用户名长 %1 字节；其字段最多容纳 %2 字节。</translation>
    </message>
    <message>
        <source>The MAC address in cell %1 of %2 is %3 bytes long; its field holds at most %4 bytes.</source>
        <extracomment>%1 is a cell (&quot;A7&quot;), %2 the MAC file or &quot;the MAC addresses given&quot;, %3 and %4 byte counts</extracomment>
        <translation>%2 中单元格 %1 的 MAC 地址长 %3 字节；其字段最多容纳 %4 字节。</translation>
    </message>
    <message>
        <source>the MAC addresses given</source>
        <translation>给出的 MAC 地址</translation>
    </message>
    <message>
        <source>the Server text is empty: the phones will be sent nowhere</source>
        <translation>服务器文本为空：话机将不会被指向任何服务器</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a URL: phones expect one such as https://%2/</source>
        <extracomment>%1 is the Server text, %2 a host name for the example URL</extracomment>
        <translation>“%1”不是 URL：话机需要类似 https://%2/ 的地址</translation>
    </message>
    <message>
        <source>%1: cancelled</source>
        <extracomment>%1 is what was asked (&quot;Add user&quot;, &quot;login&quot;)</extracomment>
        <translation>%1：已取消</translation>
    </message>
    <message>
        <source>the name or password was refused (%1 times for &quot;%2&quot;); after 10 failed logins the server refuses that name from this address for a while, even with the right password</source>
        <extracomment>%1 is how many times the name was refused, %2 the name</extracomment>
        <translation>用户名或密码被拒绝（“%2”已被拒绝 %1 次）；登录失败 10 次后，服务器会在一段时间内拒绝来自此地址的该用户名，即使密码正确</translation>
    </message>
    <message>
        <source>login</source>
        <translation>登录</translation>
    </message>
    <message>
        <source>Cannot read the MAC file %1: %2</source>
        <extracomment>%1 is the file, %2 why it cannot be read</extracomment>
        <translation>无法读取 MAC 文件 %1：%2</translation>
    </message>
    <message>
        <source>%1 does not look like a MAC file: %2 of %3 cells are not MAC addresses.</source>
        <extracomment>%1 is the file, %2 and %3 numbers of cells</extracomment>
        <translation>%1 看起来不是 MAC 文件：%3 个单元格中有 %2 个不是 MAC 地址。</translation>
    </message>
    <message>
        <source>cannot send the request to %1</source>
        <translation>无法向 %1 发送请求</translation>
    </message>
    <message>
        <source>cannot send the request to %1 within %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the time allowed (&quot;10 s&quot;)</extracomment>
        <translation>未能在 %2 内向 %1 发送请求</translation>
    </message>
    <message>
        <source>%1 closed the connection without replying</source>
        <extracomment>%1 is the server&apos;s host:port</extracomment>
        <translation>%1 未应答就关闭了连接</translation>
    </message>
    <message>
        <source>reading the reply from %1 failed</source>
        <extracomment>%1 is the server&apos;s host:port</extracomment>
        <translation>读取 %1 的应答失败</translation>
    </message>
    <message>
        <source>no reply from %1 within %2</source>
        <extracomment>%1 is the server&apos;s host:port, %2 the time allowed (&quot;10 s&quot;)</extracomment>
        <translation>%1 在 %2 内没有应答</translation>
    </message>
    <message>
        <source>a request for port %1 must be %2 bytes, not %3; nothing was sent</source>
        <extracomment>%1 is a port number, %2 and %3 byte counts</extracomment>
        <translation>发往端口 %1 的请求必须为 %2 字节，而不是 %3 字节；未发送任何内容</translation>
    </message>
    <message>
        <source>%1: the value holds a line break, which a settings line cannot keep; nothing was saved</source>
        <extracomment>%1 is the key (&quot;[kesto] address&quot;)</extracomment>
        <translation>%1：该值含有换行符，设置行无法保存它；未保存任何内容</translation>
    </message>
    <message>
        <source>%1; nothing was saved</source>
        <extracomment>%1 is the file and line and what is wrong with it</extracomment>
        <translation>%1；未保存任何内容</translation>
    </message>
    <message>
        <source>%1: &apos;%2&apos; would not read back as it is (a line break, a &apos;;&apos; after a space and spaces at either end are not kept); nothing was saved</source>
        <extracomment>%1 is the key (&quot;[kesto] address&quot;), %2 its value</extracomment>
        <translation>%1：“%2”无法按原样读回（换行符、空格后的“;”以及两端的空格都不会保留）；未保存任何内容</translation>
    </message>
    <message>
        <source>%1; not used: %2</source>
        <extracomment>%1 is why an earlier CA file was not used, %2 why the next one was not</extracomment>
        <translation>%1；未使用：%2</translation>
    </message>
    <message>
        <source>no CA certificate found (looked for %1); name the server&apos;s CA file with ca-file in the [kesto] section of %2 or %3</source>
        <extracomment>%1 lists the files looked for; %2 and %3 are the two settings files</extracomment>
        <translation>未找到 CA 证书（查找过 %1）；请在 %2 或 %3 的 [kesto] 节中用 ca-file 指定服务器的 CA 文件</translation>
    </message>
    <message>
        <source>no CA certificate found (looked for %1; not used: %2); name the server&apos;s CA file with ca-file in the [kesto] section of %3 or %4</source>
        <extracomment>%1 lists the files looked for, %2 why those there were not used; %3 and %4 are the two settings files</extracomment>
        <translation>未找到 CA 证书（查找过 %1；未使用：%2）；请在 %3 或 %4 的 [kesto] 节中用 ca-file 指定服务器的 CA 文件</translation>
    </message>
    <message>
        <source>default</source>
        <translation>默认值</translation>
    </message>
    <message>
        <source>the CA certificate file %1 (ca-file, %2) does not exist</source>
        <extracomment>%1 is the CA file, %2 where the setting comes from (a file and line, &quot;default&quot;)</extracomment>
        <translation>CA 证书文件 %1（ca-file，%2）不存在</translation>
    </message>
    <message>
        <source>%1 (ca-file, %2)</source>
        <extracomment>%1 is why the CA file cannot be used, %2 where the setting comes from</extracomment>
        <translation>%1（ca-file，%2）</translation>
    </message>
    <message>
        <source>a file name is needed</source>
        <translation>需要文件名</translation>
    </message>
    <message>
        <source>the file name is %1 bytes long, more than the %2 a path may have</source>
        <extracomment>%1 and %2 are byte counts</extracomment>
        <translation>文件名长 %1 字节，超过了路径允许的 %2 字节</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a host name, an IPv4 address or an IPv6 address</source>
        <extracomment>%1 is the value given</extracomment>
        <translation>“%1”不是主机名、IPv4 地址或 IPv6 地址</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a port number (1-65535)</source>
        <extracomment>%1 is the value given</extracomment>
        <translation>“%1”不是端口号（1-65535）</translation>
    </message>
    <message>
        <source>three ports are needed, LOGIN,ACCOUNT,DEVICE, not &apos;%1&apos;</source>
        <extracomment>%1 is the value given</extracomment>
        <translation>需要三个端口（LOGIN,ACCOUNT,DEVICE），而不是“%1”</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a number of seconds (0.1 to 3600, at most 3 decimals)</source>
        <extracomment>%1 is the value given</extracomment>
        <translation>“%1”不是秒数（0.1 到 3600，最多 3 位小数）</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a number from 1 to %2</source>
        <extracomment>%1 is the value given, %2 the largest number allowed</extracomment>
        <translation>“%1”不是 1 到 %2 之间的数</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not one of %2</source>
        <extracomment>%1 is the value given, %2 the words allowed (&quot;plain, lower, upper, as-written&quot;)</extracomment>
        <translation>“%1”不是 %2 之一</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is neither &apos;auto&apos; nor a language code such as zh_CN or en</source>
        <extracomment>%1 is the value given; &apos;auto&apos; is the word to write as it is</extracomment>
        <translation>“%1”既不是“auto”，也不是 zh_CN、en 这样的语言代码</translation>
    </message>
    <message>
        <source>&apos;%1&apos; comes before any section: put it under [%2]</source>
        <extracomment>%1 is the key, %2 the section&apos;s name</extracomment>
        <translation>“%1”出现在所有节之前：请把它放到 [%2] 下</translation>
    </message>
    <message>
        <source>%1: unknown section [%2], ignored</source>
        <extracomment>%1 is the file and line (&quot;velquor.conf:5&quot;), %2 the section&apos;s name</extracomment>
        <translation>%1：未知的节 [%2]，已忽略</translation>
    </message>
    <message>
        <source>%1: unknown key &apos;%2&apos; in [%3], ignored</source>
        <extracomment>%1 is the file and line (&quot;velquor.conf:2&quot;), %2 the key, %3 the section&apos;s name</extracomment>
        <translation>%1：[%3] 中的未知键“%2”，已忽略</translation>
    </message>
    <message>
        <source>%1 is given again (first on line %2)</source>
        <extracomment>%1 is the key (&quot;[kesto] ports&quot;), %2 the line that gave it first</extracomment>
        <translation>%1 重复给出（首次在第 %2 行）</translation>
    </message>
    <message>
        <source>the line is too long</source>
        <translation>该行过长</translation>
    </message>
    <message>
        <source>the line holds a NUL byte</source>
        <translation>该行含有 NUL 字节</translation>
    </message>
    <message>
        <source>not a &apos;key = value&apos; line nor a [section] header</source>
        <translation>既不是“键 = 值”行，也不是 [节] 标题行</translation>
    </message>
    <message>
        <source>%1:%2: %3</source>
        <extracomment>%1 is the file, %2 the line, %3 what is wrong with it</extracomment>
        <translation>%1:%2：%3</translation>
    </message>
    <message>
        <source>%1; its settings are not used</source>
        <extracomment>%1 is why the settings file cannot be used</extracomment>
        <translation>%1；其中的设置不会被使用</translation>
    </message>
    <message>
        <source>%1; the command line gives every value</source>
        <extracomment>%1 is why the settings file cannot be used</extracomment>
        <translation>%1；命令行给出了所有值</translation>
    </message>
    <message>
        <source>%1; the command line gives its value</source>
        <extracomment>%1 is the file and line and what is wrong with it</extracomment>
        <translation>%1；命令行给出了它的值</translation>
    </message>
    <message>
        <source>%1 is &apos;%2&apos;, not a number</source>
        <extracomment>%1 names the field (&quot;the total&quot;), %2 is its text</extracomment>
        <translation>%1为“%2”，不是数字</translation>
    </message>
    <message>
        <source>the reply announces %1 rows; a reply holds at most %2</source>
        <extracomment>%1 and %2 are numbers of rows</extracomment>
        <translation>应答声明有 %1 行；一个应答最多容纳 %2 行</translation>
    </message>
    <message>
        <source>the reply&apos;s rows %1 to %2 lie beyond its total of %3</source>
        <extracomment>%1 and %2 are row numbers, %3 the number of rows in all</extracomment>
        <translation>应答的第 %1 到 %2 行超出了其总数 %3</translation>
    </message>
    <message>
        <source>the reply says more rows follow its last one, the total says none do</source>
        <translation>应答表示其最后一行之后还有行，但总数表示没有</translation>
    </message>
    <message>
        <source>the reply says it is the last page, the total says rows remain after it</source>
        <translation>应答表示这是最后一页，但总数表示其后还有行</translation>
    </message>
    <message>
        <source>the reply&apos;s header is %1 bytes long, not %2</source>
        <extracomment>%1 and %2 are byte counts</extracomment>
        <translation>应答的标头长 %1 字节，而不是 %2 字节</translation>
    </message>
    <message>
        <source>word</source>
        <translation>应答词</translation>
    </message>
    <message>
        <source>the reply does not start with ROWS</source>
        <translation>应答不是以 ROWS 开头</translation>
    </message>
    <message>
        <source>the total</source>
        <translation>总数</translation>
    </message>
    <message>
        <source>the start row</source>
        <translation>起始行</translation>
    </message>
    <message>
        <source>the row count</source>
        <translation>行数</translation>
    </message>
    <message>
        <source>more mark</source>
        <translation>后续标记</translation>
    </message>
    <message>
        <source>the reply&apos;s more mark is &apos;%1&apos;, not MORE or END</source>
        <extracomment>%1 is the mark the reply has</extracomment>
        <translation>应答的后续标记为“%1”，不是 MORE 或 END</translation>
    </message>
    <message>
        <source>the reply&apos;s header has non-zero bytes 48 to 63</source>
        <translation>应答标头的第 48 到 63 字节不为零</translation>
    </message>
    <message>
        <source>a row of the reply is %1 bytes long, not %2</source>
        <extracomment>%1 and %2 are byte counts</extracomment>
        <translation>应答中的一行长 %1 字节，而不是 %2 字节</translation>
    </message>
    <message>
        <source>MAC address</source>
        <translation>MAC 地址</translation>
    </message>
    <message>
        <source>state</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>registration time</source>
        <translation>注册时间</translation>
    </message>
    <message>
        <source>server</source>
        <translation>服务器</translation>
    </message>
    <message>
        <source>a row of the reply has non-zero bytes 176 to 191</source>
        <translation>应答中一行的第 176 到 191 字节不为零</translation>
    </message>
    <message>
        <source>a row&apos;s state is &apos;%1&apos;, not MINE or OTHER</source>
        <extracomment>%1 is the state the row has</extracomment>
        <translation>某行的状态为“%1”，不是 MINE 或 OTHER</translation>
    </message>
    <message>
        <source>a row&apos;s registration time is &apos;%1&apos;, not a UTC time such as 2026-12-09T01:23:45Z</source>
        <extracomment>%1 is the time the row has</extracomment>
        <translation>某行的注册时间为“%1”，不是 2026-12-09T01:23:45Z 这样的 UTC 时间</translation>
    </message>
    <message>
        <source>a row of another account&apos;s device carries its registration</source>
        <translation>另一个账户的设备所在行带有注册信息</translation>
    </message>
    <message>
        <source>%1 is %2 bytes long; its field holds at most %3 bytes</source>
        <extracomment>%1 names the field (&quot;the user name&quot;), %2 and %3 are byte counts</extracomment>
        <translation>%1长 %2 字节；其字段最多容纳 %3 字节</translation>
    </message>
    <message>
        <source>%1 contains a zero byte, which its %2-byte field cannot carry</source>
        <extracomment>%1 names the field (&quot;the user name&quot;), %2 is its width in bytes</extracomment>
        <translation>%1含有零字节，其 %2 字节的字段无法承载</translation>
    </message>
    <message>
        <source>%1 field (bytes %2 to %3) has non-zero bytes after its terminating zero</source>
        <extracomment>%1 names the field (&quot;state&quot;), %2 and %3 are byte offsets</extracomment>
        <translation>%1字段（第 %2 到 %3 字节）在结尾的零字节之后还有非零字节</translation>
    </message>
    <message>
        <source>the user name</source>
        <translation>用户名</translation>
    </message>
    <message>
        <source>the password</source>
        <translation>密码</translation>
    </message>
    <message>
        <source>the operation</source>
        <translation>操作</translation>
    </message>
    <message>
        <source>the MAC address</source>
        <translation>MAC 地址</translation>
    </message>
    <message>
        <source>the server text</source>
        <translation>服务器文本</translation>
    </message>
    <message>
        <source>devices</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>MAC addresses</source>
        <translation>MAC 地址</translation>
    </message>
    <message>
        <source>cannot create %1: %2</source>
        <extracomment>%1 is the settings folder, %2 the system&apos;s reason</extracomment>
        <translation>无法创建 %1：%2</translation>
    </message>
    <message>
        <source>not generated</source>
        <translation>未生成</translation>
    </message>
    <message>
        <source>not checked: not logged in</source>
        <translation>未检查：未登录</translation>
    </message>
    <message>
        <source>not registered</source>
        <translation>未注册</translation>
    </message>
    <message>
        <source>server text is not a URL</source>
        <translation>服务器文本不是 URL</translation>
    </message>
    <message>
        <source>upload %1 to %2</source>
        <extracomment>%1 is the file in the output folder, %2 the server text (a URL)</extracomment>
        <translation>将 %1 上传到 %2</translation>
    </message>
    <message>
        <source>the phone asked kestod and was sent to %1, but no fetch of its file is known: check that the phone reaches %1 and gets %2 there</source>
        <extracomment>%1 is the server text (a URL) the phone was sent to, %2 the phone&apos;s file name</extracomment>
        <translation>话机已向 kestod 查询并被指向 %1，但未见其获取文件：请检查话机能否访问 %1 并在那里获取 %2</translation>
    </message>
    <message>
        <source>generate it again</source>
        <translation>重新生成</translation>
    </message>
    <message>
        <source>log in to check it</source>
        <translation>登录后再检查</translation>
    </message>
    <message>
        <source>register it</source>
        <translation>注册它</translation>
    </message>
    <message>
        <source>have the other account delete it, then register it</source>
        <translation>请另一个账户删除它，然后再注册</translation>
    </message>
    <message>
        <source>register it again with an http://, https:// or tftp:// URL</source>
        <translation>用 http://、https:// 或 tftp:// URL 重新注册</translation>
    </message>
    <message>
        <source>make %1 reachable, or register another URL</source>
        <extracomment>%1 is a host name and port</extracomment>
        <translation>使 %1 可以访问，或注册另一个 URL</translation>
    </message>
    <message>
        <source>generate it again with the phones&apos; key, then upload %1 to %2</source>
        <extracomment>%1 is the file in the output folder, %2 the server text (a URL)</extracomment>
        <translation>用话机的密钥重新生成，然后将 %1 上传到 %2</translation>
    </message>
    <message>
        <source>the served file differs from the one generated (older?)</source>
        <translation>服务器提供的文件与生成的文件不同（较旧？）</translation>
    </message>
    <message>
        <source>the served file does not decrypt with the key</source>
        <translation>服务器提供的文件无法用该密钥解密</translation>
    </message>
    <message>
        <source>ready</source>
        <translation>就绪</translation>
    </message>
    <message>
        <source>the served file is not encrypted although en/ exists</source>
        <translation>服务器提供的文件未加密，尽管 en/ 存在</translation>
    </message>
    <message>
        <source>cannot reach %1 (%2)</source>
        <extracomment>%1 is a host name and port, %2 why it cannot be reached (the library&apos;s words)</extracomment>
        <translation>无法访问 %1（%2）</translation>
    </message>
    <message>
        <source>404 at %1</source>
        <extracomment>%1 is the URL the phone asks for</extracomment>
        <translation>%1 返回 404</translation>
    </message>
    <message>
        <source>404 at %1 (%2 is there: the case differs)</source>
        <extracomment>%1 is the URL the phone asks for, %2 a file name the server has</extracomment>
        <translation>%1 返回 404（存在 %2：大小写不同）</translation>
    </message>
    <message>
        <source>&apos;%1&apos; has no {mac}: a file name needs the MAC address once, as in {mac}.xml or cfg{mac}.cfg</source>
        <extracomment>%1 is the file-name pattern as typed</extracomment>
        <translation>“%1”中没有 {mac}：文件名需要恰好包含一次 MAC 地址，例如 {mac}.xml 或 cfg{mac}.cfg</translation>
    </message>
    <message>
        <source>&apos;%1&apos; holds {mac} more than once</source>
        <extracomment>%1 is the file-name pattern as typed</extracomment>
        <translation>“%1”中 {mac} 出现了不止一次</translation>
    </message>
    <message>
        <source>&apos;%1&apos; holds a path separator: it names a file in the output folder, not a folder</source>
        <extracomment>%1 is the file-name pattern as typed</extracomment>
        <translation>“%1”中含有路径分隔符：它只能命名输出文件夹中的文件，不能命名文件夹</translation>
    </message>
    <message>
        <source>&apos;%1&apos; holds &quot;..&quot;</source>
        <extracomment>%1 is the file-name pattern as typed</extracomment>
        <translation>“%1”中含有“..”</translation>
    </message>
    <message>
        <source>&apos;%1&apos; holds a control character</source>
        <extracomment>%1 is the file-name pattern as typed</extracomment>
        <translation>“%1”中含有控制字符</translation>
    </message>
    <message>
        <source>&apos;%1&apos; starts with a dot, which would hide the files</source>
        <extracomment>%1 is the file-name pattern as typed</extracomment>
        <translation>“%1”以点开头，文件将成为隐藏文件</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is too long to name a file</source>
        <extracomment>%1 is the file-name pattern as typed</extracomment>
        <translation>“%1”太长，无法作为文件名</translation>
    </message>
    <message>
        <source>%1 in the template %2 has no column of the sheet and no default: head a column with its name, or write {{Name|default}}; nothing was written</source>
        <extracomment>%1 is the placeholders (&quot;{{TimeZone}}&quot;), %2 the template</extracomment>
        <translation>模板 %2 中的 %1 既没有对应的表格列，也没有默认值：请添加以其名称为标题的列，或写成 {{Name|default}}；未写入任何文件</translation>
    </message>
    <message>
        <source>fetched by the phone at %1 from %2</source>
        <extracomment>%1 is a local time with its offset (2026-12-10T16:40:01+01:00), %2 the phone&apos;s address</extracomment>
        <translation>话机于 %1 从 %2 获取</translation>
    </message>
    <message>
        <source>HTTP %1 at %2</source>
        <extracomment>%1 is an HTTP status number, %2 the URL the phone asks for</extracomment>
        <translation>%2 返回 HTTP %1</translation>
    </message>
    <message>
        <source>The files of %1 are not encrypted and plain HTTP does not encrypt them either: the phones&apos; SIP passwords cross the network in clear. Serve its en folder, or use HTTPS.</source>
        <extracomment>%1 is a folder</extracomment>
        <translation>%1 中的文件未加密，普通 HTTP 也不会加密它们：话机的 SIP 密码将以明文在网络上传输。请提供其 en 文件夹，或使用 HTTPS。</translation>
    </message>
    <message>
        <source>waiting</source>
        <translation>等待中</translation>
    </message>
    <message>
        <source>fetched</source>
        <translation>已获取</translation>
    </message>
    <message>
        <source>asked, not found</source>
        <translation>已请求，未找到</translation>
    </message>
    <message>
        <source>unknown phone</source>
        <translation>未知话机</translation>
    </message>
    <message>
        <source>the server announces %1 devices, more than the %2 a listing takes</source>
        <extracomment>%1 is the number of devices the server announced, %2 the most a listing takes</extracomment>
        <translation>服务器声称有 %1 台设备，超过列表可容纳的 %2 台</translation>
    </message>
    <message>
        <source>Delete device was cancelled.</source>
        <translation>删除设备已取消。</translation>
    </message>
    <message>
        <source>Add device was cancelled.</source>
        <translation>添加设备已取消。</translation>
    </message>
    <message>
        <source>Delete device stopped: the server is not answering (%1).</source>
        <extracomment>%1 is why the last request failed</extracomment>
        <translation>删除设备已停止：服务器无响应（%1）。</translation>
    </message>
    <message>
        <source>Add device stopped: the server is not answering (%1).</source>
        <translation>添加设备已停止：服务器无响应（%1）。</translation>
    </message>
    <message>
        <source>Delete device stopped: the login has ended (the server refused the requests as not logged in).</source>
        <translation>删除设备已停止：登录已结束（服务器以未登录为由拒绝了请求）。</translation>
    </message>
    <message>
        <source>Add device stopped: the login has ended (the server refused the requests as not logged in).</source>
        <translation>添加设备已停止：登录已结束（服务器以未登录为由拒绝了请求）。</translation>
    </message>
    <message>
        <source>Not every device was deleted.</source>
        <translation>并非所有设备都已删除。</translation>
    </message>
    <message>
        <source>Not every device was added.</source>
        <translation>并非所有设备都已添加。</translation>
    </message>
    <message>
        <source>Delete device finished.</source>
        <translation>删除设备已完成。</translation>
    </message>
    <message>
        <source>Add device finished.</source>
        <translation>添加设备已完成。</translation>
    </message>
    <message>
        <source>not replaced</source>
        <translation>未替换</translation>
    </message>
    <message>
        <source>a number of %1 digits, not text: the spreadsheet dropped its leading zeros; format the column as text and enter the MAC addresses again</source>
        <extracomment>%1 is how many digits the number shows</extracomment>
        <translation>是 %1 位数字而不是文本：电子表格去掉了其开头的零；请将该列设置为文本格式并重新输入 MAC 地址</translation>
    </message>
    <message>
        <source>%1 does not look like a MAC file: %2 of %3 cells are numbers, not text, and the spreadsheet dropped their leading zeros; format the MAC column as text and enter the MAC addresses again.</source>
        <extracomment>%1 is the file, %2 and %3 numbers of cells</extracomment>
        <translation>%1 看起来不是 MAC 文件：%3 个单元格中有 %2 个是数字而不是文本，电子表格去掉了它们开头的零；请将 MAC 列设置为文本格式并重新输入 MAC 地址。</translation>
    </message>
    <message>
        <source>logins of %1 are being held back after %2 failed attempts from elsewhere; ask the administrator to trust this address</source>
        <extracomment>%1 is the user name, %2 a number of failed logins</extracomment>
        <translation>由于其他地址已有 %2 次登录失败，%1 的登录正被暂缓；请让管理员信任此地址</translation>
    </message>
    <message>
        <source>column %1 (%2) fills nothing: its header is neither an element path nor a placeholder name</source>
        <extracomment>%1 is a column (L), %2 its header</extracomment>
        <translation>第 %1 列（%2）不填写任何内容：其表头既不是元素路径，也不是占位符名称</translation>
    </message>
    <message>
        <source>column %1 (%2) fills nothing: no template has %3</source>
        <extracomment>%1 is a column (J), %2 its header, %3 the placeholder ({{TimeZone}})</extracomment>
        <translation>第 %1 列（%2）不填写任何内容：没有模板含有 %3</translation>
    </message>
    <message>
        <source>column %1 (%2) matches no element of %3</source>
        <extracomment>%1 is a column (H), %2 its header (an element path), %3 the templates</extracomment>
        <translation>第 %1 列（%2）在 %3 中找不到对应的元素</translation>
    </message>
    <message>
        <source>rows %1 and %2 differ in %3; row %2 is used</source>
        <extracomment>%1 and %2 are rows of one phone, %3 the columns they differ in (UserID, Password)</extracomment>
        <translation>第 %1 行与第 %2 行的 %3 不同；使用第 %2 行</translation>
    </message>
    <message>
        <source>its retry &apos;%1&apos; is not yes or no</source>
        <extracomment>%1 is the line&apos;s retry cell; yes and no stay as they are</extracomment>
        <translation>其 retry 列的值“%1”既不是 yes 也不是 no</translation>
    </message>
    <message>
        <source>%1 is not a device report: cell %2 is beyond the report&apos;s %3 columns.</source>
        <extracomment>%1 is the file, %2 a cell (&quot;H3&quot;), %3 how many columns the report has</extracomment>
        <translation>%1 不是设备报告：单元格 %2 超出了报告的 %3 列。</translation>
    </message>
    <message>
        <source>%1 changed while its rows were retried; it is not written</source>
        <extracomment>%1 is the report&apos;s file</extracomment>
        <translation>重试期间 %1 已被更改；未写入报告</translation>
    </message>
    <message>
        <source>row %1 comes after row %2: the rows are out of order</source>
        <extracomment>%1 and %2 are row numbers</extracomment>
        <translation>第 %1 行出现在第 %2 行之后：行的顺序有误</translation>
    </message>
    <message>
        <source>out of memory</source>
        <translation>内存不足</translation>
    </message>
    <message>
        <source>The folder %1 is not there: phones get 503 (service unavailable) until it is back.</source>
        <extracomment>%1 is a folder</extracomment>
        <translation>文件夹 %1 不存在：在它恢复之前，话机将收到 503（服务不可用）。</translation>
    </message>
    <message>
        <source>The folder %1 is back: its files are served again.</source>
        <extracomment>%1 is a folder</extracomment>
        <translation>文件夹 %1 已恢复：其文件重新提供给话机。</translation>
    </message>
    <message>
        <source>The files of %1 are not encrypted, and plain HTTP would send the phones&apos; SIP passwords in clear, while %2 holds their encrypted copies: serve %2/, or give --plain-files.</source>
        <extracomment>%1 and %2 are folders</extracomment>
        <translation>%1 中的文件未加密，普通 HTTP 会以明文发送话机的 SIP 密码，而 %2 中有它们的加密副本：请提供 %2/，或指定 --plain-files。</translation>
    </message>
    <message>
        <source>--no-auth: the plain configuration files of %1 (%2 among them) go to anyone on %3 who names a phone, with the phones&apos; SIP passwords in them.</source>
        <extracomment>%1 is a folder, %2 a file in it, %3 the address served on</extracomment>
        <translation>--no-auth：%1 中未加密的配置文件（其中有 %2）会交给 %3 上任何说出话机名称的人，其中带有话机的 SIP 密码。</translation>
    </message>
    <message>
        <source>The files of %1 are plain configuration files (%2 among them) with the phones&apos; SIP passwords, and anyone on %3 could fetch them by naming a phone, since no phone has to prove itself. Serve the encrypted copies in %1/en, give the phones&apos; credentials (--phone-ca, --auth-file or the sheet&apos;s http-password column), or give --no-auth to serve them to anyone knowingly.</source>
        <extracomment>%1 is a folder, %2 a file in it, %3 the address served on</extracomment>
        <translation>%1 中的文件是未加密的配置文件（其中有 %2），带有话机的 SIP 密码；由于话机无需证明身份，%3 上任何人只要说出话机名称即可取得它们。请提供 %1/en 中的加密副本，提供话机的凭据（--phone-ca、--auth-file 或表格的 http-password 列），或指定 --no-auth 明知风险地向任何人提供。</translation>
    </message>
    <message>
        <source>every address</source>
        <extracomment>what a server listens on when no address was given</extracomment>
        <translation>所有地址</translation>
    </message>
    <message>
        <source>asked, refused</source>
        <translation>已请求，被拒绝</translation>
    </message>
    <message>
        <source>Give the phone a certificate issued under one of the phones&apos; CA files that names its MAC, or add the CA that issued its certificate; a phone is given only the file of its own MAC.</source>
        <translation>给话机一张由某个话机 CA 文件签发、写明其 MAC 的证书，或加入签发其证书的 CA；话机只能获取其自身 MAC 的文件。</translation>
    </message>
    <message>
        <source>Set the phone&apos;s provisioning user and password to those of the credentials file or of its http-password cell in the sheet (its user is its MAC).</source>
        <translation>将话机的配置用户和密码设为凭据文件中的，或设备表中其 http-password 单元格中的（其用户即其 MAC）。</translation>
    </message>
    <message>
        <source>Check the phone&apos;s address against the allowed peers, and that it proves itself with a certificate or a password this server knows.</source>
        <translation>检查话机的地址是否在允许的对端之内，以及它是否用本服务器认可的证书或密码证明自己。</translation>
    </message>
    <message>
        <source>asked for %1 at %2 from %3: refused (%4)</source>
        <extracomment>%1 is the file name the phone asked for, %2 a local time with its offset, %3 the phone&apos;s address, %4 why the phone server refused it</extracomment>
        <translation>话机于 %2 从 %3 请求 %1：被拒绝（%4）</translation>
    </message>
    <message>
        <source>the phone server refused the phone: %1</source>
        <extracomment>%1 is why the phone server refused the phone</extracomment>
        <translation>话机服务器拒绝了该话机：%1</translation>
    </message>
    <message>
        <source>asked for %1 at %2 from %3: not there</source>
        <extracomment>%1 is the file name the phone asked for, %2 a local time with its offset, %3 the phone&apos;s address</extracomment>
        <translation>话机于 %2 从 %3 请求 %1：文件不存在</translation>
    </message>
    <message>
        <source>the phone asked for %1, which is not there</source>
        <extracomment>%1 is the file name the phone asked for</extracomment>
        <translation>话机请求了 %1，但该文件不存在</translation>
    </message>
    <message>
        <source>its file is %1: have the phone ask for it, or set the file name pattern to give %2 and generate again</source>
        <extracomment>%1 is the name Generate gave the phone&apos;s file, %2 the name the phone asked for</extracomment>
        <translation>它的文件是 %1：让话机请求该文件，或将文件名模式设为生成 %2 并重新生成</translation>
    </message>
    <message>
        <source>cannot reach %1: the connection was refused</source>
        <extracomment>%1 is a host name and port</extracomment>
        <translation>无法访问 %1：连接被拒绝</translation>
    </message>
    <message>
        <source>cannot reach %1: no answer in time</source>
        <extracomment>%1 is a host name and port</extracomment>
        <translation>无法访问 %1：超时未应答</translation>
    </message>
    <message>
        <source>cannot reach %1: the name is not found</source>
        <extracomment>%1 is a host name and port</extracomment>
        <translation>无法访问 %1：找不到该名称</translation>
    </message>
    <message>
        <source>cannot reach %1: its certificate is not trusted</source>
        <extracomment>%1 is a host name and port</extracomment>
        <translation>无法访问 %1：其证书不受信任</translation>
    </message>
    <message>
        <source>correct cell %1 of the sheet and generate again</source>
        <extracomment>%1 is a cell of the sheet (A7)</extracomment>
        <translation>更正表格的单元格 %1 并重新生成</translation>
    </message>
    <message>
        <source>Every device was deleted; 1 cell was refused (not a MAC address).</source>
        <translation>所有设备都已删除；1 个单元格被拒绝（不是 MAC 地址）。</translation>
    </message>
    <message>
        <source>Every device was added; 1 cell was refused (not a MAC address).</source>
        <translation>所有设备都已添加；1 个单元格被拒绝（不是 MAC 地址）。</translation>
    </message>
    <message>
        <source>Every device was deleted; %1 cells were refused (not MAC addresses).</source>
        <extracomment>%1 is how many cells were refused (two or more)</extracomment>
        <translation>所有设备都已删除；%1 个单元格被拒绝（不是 MAC 地址）。</translation>
    </message>
    <message>
        <source>Every device was added; %1 cells were refused (not MAC addresses).</source>
        <translation>所有设备都已添加；%1 个单元格被拒绝（不是 MAC 地址）。</translation>
    </message>
    <message>
        <source>cannot write %1: it is %2, not a regular file, and is never replaced</source>
        <extracomment>%1 is the output file, %2 what it is (&quot;a character device&quot;)</extracomment>
        <translation>无法写入 %1：它是%2，不是普通文件，绝不会被替换</translation>
    </message>
    <message>
        <source>%1 was left as it is: %2</source>
        <extracomment>%1 is the MD5SUMS file, %2 why it was left alone</extracomment>
        <translation>%1 保持原样：%2</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>它不是普通文件</translation>
    </message>
    <message>
        <source>MD5SUMS keeps its lines of other files (%1) and drops those whose file is gone (%2); this run&apos;s lines are replaced.</source>
        <extracomment>%1 how many lines of other files an MD5SUMS list keeps, %2 how many whose file is gone</extracomment>
        <translation>MD5SUMS 保留其他文件的行（%1），删除文件已不存在的行（%2）；本次运行的行将被替换。</translation>
    </message>
    <message>
        <source>... and %1 more rows</source>
        <extracomment>%1 is a number of rows</extracomment>
        <translation>……另有 %1 行</translation>
    </message>
    <message>
        <source>The file names mix cases (%1 with upper-case letters, %2 with lower-case ones), and a phone asks for its file in one case: set mac-form to lower or upper (the MAC form in Settings, [devices] of velquor.conf, --mac-form of velquor-cli).</source>
        <extracomment>%1 and %2 are numbers of file names</extracomment>
        <translation>文件名大小写混用（%1 个为大写字母，%2 个为小写字母），而话机只按一种大小写请求文件：请将 mac-form 设为 lower 或 upper（设置中的 MAC 格式、velquor.conf 的 [devices] 或 velquor-cli 的 --mac-form）。</translation>
    </message>
    <message>
        <source>its character %1 has no code in the template&apos;s encoding %2, and the CDATA section it goes in cannot write it otherwise; declare UTF-8 in the template or take the placeholder out of the CDATA section</source>
        <extracomment>%1 is a character, %2 the template&apos;s encoding</extracomment>
        <translation>其中的字符 %1 在模板的编码 %2 中没有编码，而它所在的 CDATA 段无法以其他方式写出；请在模板中声明 UTF-8，或将占位符移出 CDATA 段</translation>
    </message>
    <message>
        <source>time asked</source>
        <translation>询问时间</translation>
    </message>
    <message>
        <source>address asked from</source>
        <translation>询问来源地址</translation>
    </message>
    <message>
        <source>answer</source>
        <translation>答复</translation>
    </message>
    <message>
        <source>a row&apos;s time asked is &apos;%1&apos;, not a UTC time such as 2026-12-09T01:23:45Z</source>
        <extracomment>%1 is the time the row has</extracomment>
        <translation>一行的询问时间为“%1”，不是 2026-12-09T01:23:45Z 这样的 UTC 时间</translation>
    </message>
    <message>
        <source>a row of the reply has non-zero bytes 296 to 319</source>
        <translation>应答中一行的第 296 到 319 字节不为零</translation>
    </message>
    <message>
        <source>kestod told the phone at %1 that it has no Server text (it asked before its registration): restart the phone so that it asks again and is sent to %2</source>
        <extracomment>%1 is a local time with its offset, %2 the server text (a URL) registered since</extracomment>
        <translation>kestod 在 %1 告诉话机它没有服务器文本（话机在登记之前查询）：请重启话机，让它再次查询并被指向 %2</translation>
    </message>
    <message>
        <source>kestod sent the phone to %1, but it fetched its file at %2 from this phone server: put %3 at %1, or register the phone with the Server text it fetches from</source>
        <extracomment>%1 is the server text (a URL) kestod sent the phone to, %2 the path the phone fetched its file at from this phone server, %3 the phone&apos;s file name</extracomment>
        <translation>kestod 已将话机指向 %1，但话机从本话机服务器的 %2 获取了文件：请把 %3 放到 %1，或用话机实际获取文件的服务器文本登记它</translation>
    </message>
</context>
<context>
    <name>velquor::app::CChangePassword</name>
    <message>
        <source>Changing the password…</source>
        <translation>正在修改密码…</translation>
    </message>
    <message>
        <source>Change password</source>
        <translation>修改密码</translation>
    </message>
    <message>
        <source>New password:</source>
        <translation>新密码：</translation>
    </message>
    <message>
        <source>Confirm:</source>
        <translation>确认密码：</translation>
    </message>
</context>
<context>
    <name>velquor::app::CDevice</name>
    <message>
        <source>Device</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>Change password</source>
        <translation>修改密码</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>浏览…</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>添加</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>MAC file:</source>
        <translation>MAC 文件：</translation>
    </message>
    <message>
        <source>Server:</source>
        <translation>服务器：</translation>
    </message>
    <message>
        <source>Spreadsheets|*.xlsx;*.xlsm;*.csv|</source>
        <comment>file-dialog filter: translate the descriptions, keep the patterns</comment>
        <translation>电子表格|*.xlsx;*.xlsm;*.csv|</translation>
    </message>
    <message numerus="yes">
        <source>Deregister the %n device(s) of %1 from %2?</source>
        <translation>
            <numerusform>要从 %2 注销 %1 中的 %n 台设备吗？</numerusform>
        </translation>
    </message>
    <message>
        <source>The command stopped on an unexpected error.</source>
        <translation>命令因意外错误而中止。</translation>
    </message>
    <message>
        <source>List devices</source>
        <translation>列出设备</translation>
    </message>
    <message>
        <source>Check MAC file</source>
        <translation>检查 MAC 文件</translation>
    </message>
    <message>
        <source>The devices could not be listed.</source>
        <translation>无法列出设备。</translation>
    </message>
    <message>
        <source>The MAC file was not checked.</source>
        <translation>未检查 MAC 文件。</translation>
    </message>
    <message>
        <source>The MAC addresses could not be checked.</source>
        <translation>无法检查 MAC 地址。</translation>
    </message>
    <message>
        <source>MAC addresses to use instead of the file, separated by spaces, commas or lines</source>
        <translation>代替文件使用的 MAC 地址，用空格、逗号或换行分隔</translation>
    </message>
    <message>
        <source>MAC addresses:</source>
        <translation>MAC 地址：</translation>
    </message>
    <message>
        <source>the MAC addresses box</source>
        <translation>MAC 地址框</translation>
    </message>
    <message numerus="yes">
        <source>Deregister %n device(s) from %1?</source>
        <translation>
            <numerusform>要从 %1 注销 %n 台设备吗？</numerusform>
        </translation>
    </message>
    <message>
        <source>the selected devices</source>
        <translation>所选设备</translation>
    </message>
    <message>
        <source>the failed rows</source>
        <translation>失败的行</translation>
    </message>
    <message numerus="yes">
        <source>%1 is not a MAC file, but its column A holds %n MAC address(es) after the header row, as a device sheet does. Use column A?</source>
        <translation>
            <numerusform>%1 不是 MAC 文件，但其 A 列在标题行之后有 %n 个 MAC 地址，与设备表相同。使用 A 列吗？</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Column %1 of %2 is headed server and gives %n phone(s) their own Server text; the others get the Server box&apos;s. Send each phone its own?</source>
        <translation>
            <numerusform>%2 的 %1 列标题为 server，为 %n 部话机提供各自的服务器文本；其余话机使用服务器框中的文本。是否为每部话机发送其各自的文本？</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::CUser</name>
    <message>
        <source>Adding the user…</source>
        <translation>正在添加用户…</translation>
    </message>
    <message>
        <source>Deleting the user…</source>
        <translation>正在删除用户…</translation>
    </message>
    <message>
        <source>User</source>
        <translation>用户</translation>
    </message>
    <message>
        <source>Name:</source>
        <translation>用户名：</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>密码：</translation>
    </message>
    <message>
        <source>Confirm:</source>
        <translation>确认密码：</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>添加</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>Delete user %1?</source>
        <translation>要删除用户 %1 吗？</translation>
    </message>
    <message>
        <source>List devices</source>
        <translation>列出设备</translation>
    </message>
    <message>
        <source>The devices could not be listed.</source>
        <translation>无法列出设备。</translation>
    </message>
    <message numerus="yes">
        <source>%1 has %n registered device(s).</source>
        <translation>
            <numerusform>%1 有 %n 台已注册的设备。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Free the %n device(s) of %1 too?</source>
        <translation>
            <numerusform>同时释放 %1 的 %n 台设备吗？</numerusform>
        </translation>
    </message>
    <message>
        <source>Yes frees them, so their phones are no longer redirected; No leaves them registered, with no account to change them.</source>
        <translation>选“是”将释放这些设备，其话机不再被重定向；选“否”则保持注册，但不再有账户可以更改它们。</translation>
    </message>
</context>
<context>
    <name>velquor::app::CVelquorDlg</name>
    <message>
        <source>Encrypting…</source>
        <translation>正在加密…</translation>
    </message>
    <message>
        <source>Decrypting…</source>
        <translation>正在解密…</translation>
    </message>
    <message>
        <source>Computing the MD5 digest…</source>
        <translation>正在计算 MD5 值…</translation>
    </message>
    <message>
        <source>Please fill in the %1 field first.</source>
        <translation>请先填写“%1”。</translation>
    </message>
    <message>
        <source>Generating the device configurations…</source>
        <translation>正在生成设备配置文件…</translation>
    </message>
    <message>
        <source>Generate anyway?</source>
        <translation>仍要生成吗？</translation>
    </message>
    <message>
        <source>No input file chosen: choose one with the Browse button first.</source>
        <translation>未选择输入文件：请先用“浏览”按钮选择一个文件。</translation>
    </message>
    <message>
        <source>Configuration files|*.xml|All files|*|</source>
        <comment>file-dialog filter: translate the descriptions, keep the patterns</comment>
        <translation>配置文件|*.xml|所有文件|*|</translation>
    </message>
    <message>
        <source>XML templates|*.xml|</source>
        <comment>file-dialog filter: translate the descriptions, keep the patterns</comment>
        <translation>XML 模板|*.xml|</translation>
    </message>
    <message>
        <source>Spreadsheets|*.xlsx;*.xlsm;*.csv|</source>
        <comment>file-dialog filter: translate the descriptions, keep the patterns</comment>
        <translation>电子表格|*.xlsx;*.xlsm;*.csv|</translation>
    </message>
    <message>
        <source>All files|*|</source>
        <comment>file-dialog filter: translate the descriptions, keep the patterns</comment>
        <translation>所有文件|*|</translation>
    </message>
    <message>
        <source>Encrypt Configuration</source>
        <translation>配置文件加密</translation>
    </message>
    <message>
        <source>Input File :</source>
        <translation>输入文件：</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>浏览…</translation>
    </message>
    <message>
        <source>AES Key:</source>
        <translation>AES 密钥：</translation>
    </message>
    <message>
        <source>Decrypt</source>
        <translation>解密</translation>
    </message>
    <message>
        <source>Encrypt</source>
        <translation>加密</translation>
    </message>
    <message>
        <source>MAC-CFG</source>
        <translation>MAC 批量配置</translation>
    </message>
    <message>
        <source>Template:</source>
        <translation>模板：</translation>
    </message>
    <message>
        <source>MAC-ACCOUNT:</source>
        <translation>MAC 账号表：</translation>
    </message>
    <message>
        <source>AES Key</source>
        <translation>AES 密钥</translation>
    </message>
    <message>
        <source>Out put path:</source>
        <translation>输出路径：</translation>
    </message>
    <message>
        <source>Generate</source>
        <translation>生成</translation>
    </message>
    <message>
        <source>MD5</source>
        <translation>MD5</translation>
    </message>
    <message>
        <source>File:</source>
        <translation>文件：</translation>
    </message>
    <message>
        <source>MD5:</source>
        <translation>MD5：</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>复制</translation>
    </message>
    <message>
        <source>Generate MD5</source>
        <translation>计算 MD5</translation>
    </message>
    <message>
        <source>Select dir</source>
        <translation>选择目录</translation>
    </message>
    <message>
        <source>MAC-ACCOUNT</source>
        <translation>MAC 账号表</translation>
    </message>
    <message>
        <source>Template</source>
        <translation>模板</translation>
    </message>
    <message>
        <source>Out put path</source>
        <translation>输出路径</translation>
    </message>
    <message>
        <source>Success !</source>
        <translation>成功！</translation>
    </message>
    <message>
        <source>Every row, with its reason, is in the results view.</source>
        <translation>每一行及其原因都列在结果窗口中。</translation>
    </message>
    <message>
        <source>The AES key is empty: the all-zero key will be used.</source>
        <translation>AES 密钥为空：将使用全零密钥。</translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) will be replaced.</source>
        <translation>
            <numerusform>将替换 %n 个文件。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n encrypted copy(ies) in %1 from an earlier run stay(s) as it is and will not match the new files (no key is used this time).</source>
        <translation>
            <numerusform>%1 中上次生成的 %n 个加密副本将保持不变，与新文件不再对应（本次未使用密钥）。</numerusform>
        </translation>
    </message>
    <message>
        <source>The result does not look like a configuration file: the key may be wrong. Write it anyway?</source>
        <translation>解密结果不像配置文件：密钥可能不正确。仍要写入吗？</translation>
    </message>
    <message>
        <source>%1 does not look like a configuration file: it may be encrypted already. Encrypt it anyway?</source>
        <translation>%1 不像配置文件：它可能已经加密过。仍要加密吗？</translation>
    </message>
    <message>
        <source>Yes replaces %1; No keeps it as it is.</source>
        <translation>选“是”将替换 %1；选“否”则保持原样。</translation>
    </message>
    <message>
        <source>The remembered inputs were not used.</source>
        <translation>未使用记住的输入内容。</translation>
    </message>
    <message>
        <source>Forget the remembered folders and inputs?</source>
        <translation>清除记住的文件夹和输入内容？</translation>
    </message>
    <message>
        <source>The fields keep what they show now, for the work at hand; it is not remembered when the window closes.</source>
        <translation>各字段保留当前显示的内容，供手头的工作使用；关闭窗口时不会再记住这些内容。</translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) of these phones under another name removed.</source>
        <translation>
            <numerusform>已删除这些话机以其他名称存在的 %n 个文件。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) of these phones are under another name, such as %1: remove them?</source>
        <translation>
            <numerusform>这些话机有 %n 个文件以其他名称存在，例如 %1：要删除吗？</numerusform>
        </translation>
    </message>
    <message>
        <source>A phone may fetch the old file instead of its new one. Remove takes them away once the new files are written; Keep leaves them as they are.</source>
        <translation>话机可能会获取旧文件而不是新文件。“删除”会在新文件写入后将其删除；“保留”则保持原样。</translation>
    </message>
    <message>
        <source>The AES key is %1 bytes long: only its first %2 bytes are used.</source>
        <translation>AES 密钥长 %1 字节：只使用其前 %2 字节。</translation>
    </message>
    <message>
        <source>Whatever is given the whole key (a phone, a program) will not open the files. Use the first %1 bytes anyway?</source>
        <translation>拿到完整密钥的一方（话机、程序）将无法打开这些文件。仍然使用前 %1 字节吗？</translation>
    </message>
    <message>
        <source>Serve to phones</source>
        <translation>向话机提供文件</translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) of these phones under another name could not be removed: %1</source>
        <extracomment>%1 is the first file and the system&apos;s reason</extracomment>
        <translation>
            <numerusform>这些话机以其他名称存在的 %n 个文件无法删除：%1</numerusform>
        </translation>
    </message>
    <message>
        <source>&amp;KESTO</source>
        <translation>KESTO(&amp;K)</translation>
    </message>
    <message>
        <source>&amp;Settings</source>
        <translation>设置(&amp;S)</translation>
    </message>
    <message>
        <source>Forget &amp;history</source>
        <translation>清除历史记录(&amp;H)</translation>
    </message>
    <message>
        <source>Site &amp;table</source>
        <translation>现场表(&amp;T)</translation>
    </message>
    <message>
        <source>Serve to &amp;phones</source>
        <translation>向话机提供文件(&amp;P)</translation>
    </message>
    <message numerus="yes">
        <source>%n line(s) of MD5SUMS named files no longer there and were dropped.</source>
        <translation>
            <numerusform>MD5SUMS 中有 %n 行所指的文件已不存在，这些行已删除。</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::ControlWindow</name>
    <message>
        <source>error</source>
        <translation>错误</translation>
    </message>
    <message numerus="yes">
        <source>%1 of the %n failures had no box of their own: every row, with its reason, is in the results view.</source>
        <translation>
            <numerusform>%n 个失败中有 %1 个未单独弹出提示：每一行及其原因都列在结果窗口中。</numerusform>
        </translation>
    </message>
    <message>
        <source>The Kesto settings could not be read.</source>
        <translation>无法读取 Kesto 设置。</translation>
    </message>
    <message>
        <source>Some Kesto settings were ignored.</source>
        <translation>部分 Kesto 设置已被忽略。</translation>
    </message>
    <message>
        <source>Velquor</source>
        <comment>the product&apos;s name, the main window&apos;s title</comment>
        <translation>Velquor</translation>
    </message>
</context>
<context>
    <name>velquor::app::DeviceTableView</name>
    <message>
        <source>registered</source>
        <translation>已注册</translation>
    </message>
    <message>
        <source>not registered</source>
        <translation>未注册</translation>
    </message>
    <message>
        <source>another account</source>
        <translation>其他账户</translation>
    </message>
    <message>
        <source>Registered devices</source>
        <translation>已注册的设备</translation>
    </message>
    <message>
        <source>Devices of %1</source>
        <translation>%1 的设备</translation>
    </message>
    <message numerus="yes">
        <source>%n device(s) registered to this account on %1.</source>
        <translation>
            <numerusform>本账户在 %1 上注册了 %n 台设备。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n device(s) registered to %1 on %2.</source>
        <translation>
            <numerusform>%1 在 %2 上注册了 %n 台设备。</numerusform>
        </translation>
    </message>
    <message>
        <source>MAC</source>
        <translation>MAC</translation>
    </message>
    <message>
        <source>Server</source>
        <translation>服务器</translation>
    </message>
    <message>
        <source>Check of %1</source>
        <translation>%1 的检查结果</translation>
    </message>
    <message>
        <source>Registered to you: %1, not registered: %2, registered to another account: %3.</source>
        <translation>已注册到您的账户：%1，未注册：%2，已注册到其他账户：%3。</translation>
    </message>
    <message>
        <source>Outcome</source>
        <translation>结果</translation>
    </message>
    <message>
        <source>Delete selected</source>
        <translation>删除所选</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message numerus="yes">
        <source>Delete selected (%n)</source>
        <translation>
            <numerusform>删除所选（%n）</numerusform>
        </translation>
    </message>
    <message>
        <source>Registered</source>
        <translation>注册时间</translation>
    </message>
    <message>
        <source>not known (kestod without phones&apos; port)</source>
        <translation>未知（kestod 没有话机端口）</translation>
    </message>
    <message>
        <source>never asked</source>
        <translation>从未询问</translation>
    </message>
    <message>
        <source>asked at %1 from %2 (%3)</source>
        <translation>%1 从 %2 询问（%3）</translation>
    </message>
    <message>
        <source>Phone asked</source>
        <translation>话机询问</translation>
    </message>
</context>
<context>
    <name>velquor::app::GuiThreadPrompts</name>
    <message>
        <source>Your login to %1 has ended. Log in again to go on?</source>
        <translation>您在 %1 的登录已结束。要重新登录以继续吗？</translation>
    </message>
    <message>
        <source>Replacing registers it with: %1</source>
        <translation>替换后注册为：%1</translation>
    </message>
    <message>
        <source>Registered to this account now with: %1
Replacing registers it with: %2</source>
        <translation>当前在此账户下注册为：%1
替换后注册为：%2</translation>
    </message>
</context>
<context>
    <name>velquor::app::JobProgressDialog</name>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Cancelling…</source>
        <translation>正在取消…</translation>
    </message>
</context>
<context>
    <name>velquor::app::MacFindings</name>
    <message>
        <source>Generate — the rows checked</source>
        <translation>生成 — 已检查的行</translation>
    </message>
    <message>
        <source>MAC file — the cells checked</source>
        <translation>MAC 文件 — 已检查的单元格</translation>
    </message>
    <message numerus="yes">
        <source>%1 of %n rows cannot be used (not MAC addresses: %2, repeated MACs: %3).</source>
        <translation>
            <numerusform>%n 行中有 %1 行无法使用（不是 MAC 地址：%2 行，MAC 重复：%3 行）。</numerusform>
        </translation>
    </message>
    <message>
        <source>Continue does the other rows; Cancel writes and sends nothing. Show rows lists every row with its reason first.</source>
        <translation>“继续”处理其余各行；“取消”则不写入、不发送任何内容。“查看各行”先列出每一行及其原因。</translation>
    </message>
    <message>
        <source>The Server text is sent with every device as it stands.</source>
        <translation>服务器文本将按原样随每台设备发送。</translation>
    </message>
    <message>
        <source>MAC addresses box — the cells checked</source>
        <translation>MAC 地址框 — 已检查的单元格</translation>
    </message>
    <message numerus="yes">
        <source>%1 of %n rows cannot be used (not MAC addresses).</source>
        <translation>
            <numerusform>%n 行中有 %1 行无法使用（不是 MAC 地址）。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1 of %n rows cannot be used (repeated MACs).</source>
        <translation>
            <numerusform>%n 行中有 %1 行无法使用（MAC 重复）。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) name a template that cannot be read.</source>
        <translation>
            <numerusform>%n 行指定的模板无法读取。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) have empty cells in fields the template fills (Password, Proxy, ...).</source>
        <translation>
            <numerusform>%n 行在模板填写的字段（Password、Proxy 等）中有空单元格。</numerusform>
        </translation>
    </message>
    <message>
        <source>Continue writes the files of the other rows (a phone&apos;s from its last row); Cancel writes nothing. Show rows lists every row with its reason first.</source>
        <translation>“继续”写入其余各行的文件（同一话机取其最后一行）；“取消”不写入任何文件。“查看各行”先列出每一行及其原因。</translation>
    </message>
    <message>
        <source>Continue writes every row as it stands; Cancel writes nothing. Show rows lists every row with its reason first.</source>
        <translation>“继续”按现状写入每一行；“取消”不写入任何文件。“查看各行”先列出每一行及其原因。</translation>
    </message>
    <message>
        <source>Nothing can be written until every placeholder of the templates has a column of the sheet or a default.</source>
        <translation>在模板的每个占位符都有表格中的对应列或默认值之前，无法写入任何文件。</translation>
    </message>
    <message numerus="yes">
        <source>… and %n more phone(s) whose rows differ.</source>
        <translation>
            <numerusform>…… 另有 %n 部话机的各行不同。</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::ProgressTask</name>
    <message>
        <source>%1 of %2</source>
        <translation>%1 / %2</translation>
    </message>
</context>
<context>
    <name>velquor::app::QtPrompter</name>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
</context>
<context>
    <name>velquor::app::ResultsTableModel</name>
    <message>
        <source>%1 %2</source>
        <comment>a count and its outcome: 295 added</comment>
        <translation>%2 %1</translation>
    </message>
    <message>
        <source>, </source>
        <comment>between the counts of two outcomes</comment>
        <translation>，</translation>
    </message>
    <message>
        <source>%1; %2</source>
        <comment>two parts of a run&apos;s summary</comment>
        <translation>%1；%2</translation>
    </message>
    <message>
        <source>row %1: %2, with %3 empty</source>
        <translation>第 %1 行：%2，其中 %3 为空</translation>
    </message>
    <message numerus="yes">
        <source>%n device row(s)</source>
        <translation>
            <numerusform>%n 个设备行</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n of %1 written (each with its encrypted copy in &quot;en&quot;).</source>
        <translation>
            <numerusform>%1中已写入 %n 行（每行的加密副本在“en”目录中）。</numerusform>
        </translation>
    </message>
    <message>
        <source>%1 of %2 written.</source>
        <comment>3 of 5 device rows written.</comment>
        <translation>%2中已写入 %1 行。</translation>
    </message>
    <message numerus="yes">
        <source>%n empty row(s) skipped: they hold no device.</source>
        <translation>
            <numerusform>已跳过 %n 个空行：其中没有设备。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Cancelled: %n row(s) not processed.</source>
        <translation>
            <numerusform>已取消：%n 行未处理。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) failed:</source>
        <translation>
            <numerusform>%n 行失败：</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more failed rows</source>
        <translation>
            <numerusform>……另有 %n 个失败行</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) replaced by a later row with the same MAC:</source>
        <translation>
            <numerusform>%n 行被后面相同 MAC 的行替换：</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more replaced rows</source>
        <translation>
            <numerusform>……另有 %n 个被替换的行</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) written with empty values:</source>
        <translation>
            <numerusform>%n 行写入时含有空值：</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more row(s)</source>
        <translation>
            <numerusform>……另有 %n 行</numerusform>
        </translation>
    </message>
    <message>
        <source>The files may not have reached the disk: %1</source>
        <translation>文件可能尚未写入磁盘：%1</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <comment>rows, then their outcomes</comment>
        <translation>%1：%2</translation>
    </message>
    <message numerus="yes">
        <source>%n empty row(s) skipped</source>
        <translation>
            <numerusform>已跳过 %n 个空行</numerusform>
        </translation>
    </message>
    <message>
        <source>Folder: %1 (encrypted copies in en/)</source>
        <translation>目录：%1（加密副本在 en/ 中）</translation>
    </message>
    <message>
        <source>Folder: %1</source>
        <translation>目录：%1</translation>
    </message>
    <message>
        <source>%1. %2</source>
        <comment>the counts, then where the files are</comment>
        <translation>%1。%2</translation>
    </message>
    <message numerus="yes">
        <source>%n MAC address(es) in %1</source>
        <translation>
            <numerusform>%1 中的 %n 个 MAC 地址</numerusform>
        </translation>
    </message>
    <message>
        <source>cancelled</source>
        <comment>a batch that was stopped</comment>
        <translation>已取消</translation>
    </message>
    <message>
        <source>%1.</source>
        <comment>the end of a summary sentence</comment>
        <translation>%1。</translation>
    </message>
    <message>
        <source>Generate — results</source>
        <translation>生成 — 结果</translation>
    </message>
    <message>
        <source>Row</source>
        <translation>行</translation>
    </message>
    <message>
        <source>Delete device — results</source>
        <translation>删除设备 — 结果</translation>
    </message>
    <message>
        <source>Add device — results</source>
        <translation>添加设备 — 结果</translation>
    </message>
    <message>
        <source>Cell</source>
        <translation>单元格</translation>
    </message>
    <message>
        <source>MAC</source>
        <translation>MAC</translation>
    </message>
    <message>
        <source>Outcome</source>
        <translation>结果</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>原因</translation>
    </message>
    <message>
        <source>, </source>
        <comment>between two MAC addresses</comment>
        <translation>、</translation>
    </message>
    <message numerus="yes">
        <source>%1 and %n more</source>
        <translation>
            <numerusform>%1 等另外 %n 个</numerusform>
        </translation>
    </message>
    <message>
        <source>Failed MAC addresses: %1</source>
        <translation>失败的 MAC 地址：%1</translation>
    </message>
    <message numerus="yes">
        <source>%n written with empty cells</source>
        <translation>
            <numerusform>%n 个写入时有空单元格</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n row(s) refused: column A is not a MAC address:</source>
        <translation>
            <numerusform>%n 行被拒绝：A 列不是 MAC 地址：</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>... and %n more refused rows</source>
        <translation>
            <numerusform>……另有 %n 个被拒绝的行</numerusform>
        </translation>
    </message>
    <message>
        <source>File</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>The MD5SUMS list was not written: %1</source>
        <translation>MD5SUMS 校验清单未能写入：%1</translation>
    </message>
    <message numerus="yes">
        <source>%n empty cell(s), nothing to send</source>
        <translation>
            <numerusform>%n 个空单元格，无内容可发送</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::ResultsView</name>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Save the report</source>
        <translation>保存报告</translation>
    </message>
    <message>
        <source>The report was not saved.</source>
        <translation>报告未保存。</translation>
    </message>
    <message numerus="yes">
        <source>Copy selected (%n)</source>
        <translation>
            <numerusform>复制所选（%n）</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Save selected (%n)…</source>
        <translation>
            <numerusform>保存所选（%n）…</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Copy shown (%n)</source>
        <translation>
            <numerusform>复制显示的（%n）</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Save shown (%n)…</source>
        <translation>
            <numerusform>保存显示的（%n）…</numerusform>
        </translation>
    </message>
    <message>
        <source>Copy all</source>
        <translation>全部复制</translation>
    </message>
    <message>
        <source>Save all…</source>
        <translation>全部保存…</translation>
    </message>
    <message>
        <source>%1 already exists. Replace it?</source>
        <translation>%1 已存在。要替换吗？</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>CSV 文件 (*.csv)</translation>
    </message>
    <message>
        <source>Spreadsheet workbooks (*.xlsx)</source>
        <translation>电子表格工作簿 (*.xlsx)</translation>
    </message>
    <message>
        <source>Problems only</source>
        <translation>只看问题项</translation>
    </message>
    <message numerus="yes">
        <source>Retry failed rows (%n)</source>
        <translation>
            <numerusform>重试失败的行（%n）</numerusform>
        </translation>
    </message>
    <message>
        <source>Find a MAC or row</source>
        <translation>查找 MAC 或行号</translation>
    </message>
</context>
<context>
    <name>velquor::app::RowTableActions</name>
    <message>
        <source>Filter</source>
        <translation>筛选</translation>
    </message>
</context>
<context>
    <name>velquor::app::ServeDialog</name>
    <message>
        <source>optional: the device sheet or a MAC file</source>
        <translation>可选：设备表或 MAC 文件</translation>
    </message>
    <message>
        <source>any free port</source>
        <translation>任一空闲端口</translation>
    </message>
    <message>
        <source>everyone; or ranges such as 10.0.0.0/8 fd00::/8</source>
        <translation>所有人；或如 10.0.0.0/8 fd00::/8 的地址范围</translation>
    </message>
    <message>
        <source>Browse…</source>
        <translation>浏览…</translation>
    </message>
    <message>
        <source>Serve</source>
        <translation>提供</translation>
    </message>
    <message>
        <source>Allowed peers</source>
        <translation>允许的对端</translation>
    </message>
    <message>
        <source>Folder</source>
        <translation>文件夹</translation>
    </message>
    <message>
        <source>Phones</source>
        <translation>话机</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>端口</translation>
    </message>
    <message>
        <source>Fetch log</source>
        <translation>获取日志</translation>
    </message>
    <message>
        <source>Copy URL</source>
        <translation>复制 URL</translation>
    </message>
    <message>
        <source>Give the phones</source>
        <translation>提供给话机</translation>
    </message>
    <message>
        <source>All phones</source>
        <translation>所有话机</translation>
    </message>
    <message>
        <source>Waiting</source>
        <translation>等待中</translation>
    </message>
    <message>
        <source>Fetched</source>
        <translation>已获取</translation>
    </message>
    <message>
        <source>Problems</source>
        <translation>问题</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Folder to serve</source>
        <translation>要提供的文件夹</translation>
    </message>
    <message>
        <source>The site&apos;s phones</source>
        <translation>站点的话机</translation>
    </message>
    <message>
        <source>Choose the folder to serve.</source>
        <translation>请选择要提供的文件夹。</translation>
    </message>
    <message>
        <source>The allowed peers are not address ranges.</source>
        <translation>允许的对端不是地址范围。</translation>
    </message>
    <message>
        <source>The site&apos;s phones cannot be read.</source>
        <translation>无法读取站点的话机。</translation>
    </message>
    <message>
        <source>The folder cannot be served.</source>
        <translation>无法提供该文件夹。</translation>
    </message>
    <message>
        <source>Serve to phones (serving)</source>
        <translation>向话机提供文件（提供中）</translation>
    </message>
    <message>
        <source>Serve to phones</source>
        <translation>向话机提供文件</translation>
    </message>
    <message>
        <source>No phone has asked yet.</source>
        <translation>尚无话机请求。</translation>
    </message>
    <message>
        <source>%1 of %2 fetched, %3 waiting, problems: %4</source>
        <translation>%2 台中 %1 台已获取，%3 台等待中，问题：%4</translation>
    </message>
    <message>
        <source>%1 fetched, problems: %2</source>
        <translation>%1 台已获取，问题：%2</translation>
    </message>
    <message>
        <source>%1 — %2</source>
        <extracomment>%1 is &quot;Serve to phones&quot;, %2 the counts of the phones</extracomment>
        <translation>%1 — %2</translation>
    </message>
    <message>
        <source>every address</source>
        <translation>所有地址</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>地址</translation>
    </message>
    <message>
        <source>Serve the encrypted copies in en/?</source>
        <translation>提供 en/ 中的加密副本？</translation>
    </message>
    <message>
        <source>%1 holds the plain files, with the phones&apos; passwords readable by anyone who asks; %2 holds their encrypted copies.</source>
        <extracomment>%1 is the folder chosen, %2 its en folder</extracomment>
        <translation>%1 存放明文文件，任何请求者都能读到话机的密码；%2 存放它们的加密副本。</translation>
    </message>
    <message numerus="yes">
        <source>%n request(s) could not be written to the fetch log.</source>
        <translation>
            <numerusform>%n 个请求未能写入获取日志。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n request line(s) were left out of the display: they came faster than they could be shown. Serving went on.</source>
        <translation>
            <numerusform>%n 行请求未显示：它们来得比显示的速度快。服务仍在继续。</numerusform>
        </translation>
    </message>
    <message>
        <source>The plain configuration files would go to anyone who reaches this computer.</source>
        <translation>未加密的配置文件会交给任何能访问本计算机的人。</translation>
    </message>
    <message>
        <source>They hold the phones&apos; SIP passwords and no phone has to prove itself. Serve the encrypted copies in en/, give the phones&apos; CA or credentials, serve on 127.0.0.1 only, or tick Serve without credentials to accept the risk.</source>
        <translation>其中带有话机的 SIP 密码，而话机无需证明身份。请提供 en/ 中的加密副本，提供话机的 CA 或凭据，只在 127.0.0.1 上提供，或勾选“不用凭据提供文件（知情）”以接受此风险。</translation>
    </message>
    <message>
        <source>Passwords from its http-password column</source>
        <translation>密码取自其 http-password 列</translation>
    </message>
    <message>
        <source>Each phone of the sheet fetches only its own file, with its MAC as its user and the password of its http-password cell.</source>
        <translation>设备表中的每台话机只能获取自己的文件，用户为其 MAC，密码为其 http-password 单元格中的密码。</translation>
    </message>
    <message>
        <source>HTTPS certificate</source>
        <translation>HTTPS 证书</translation>
    </message>
    <message>
        <source>Phones&apos; CA files</source>
        <translation>话机 CA 文件</translation>
    </message>
    <message>
        <source>Add…</source>
        <translation>添加…</translation>
    </message>
    <message>
        <source>Certificates|*.pem;*.crt|All files|*|</source>
        <comment>file-dialog filter: translate the descriptions, keep the patterns</comment>
        <translation>证书|*.pem;*.crt|所有文件|*|</translation>
    </message>
    <message>
        <source>none: plain HTTP</source>
        <translation>无：明文 HTTP</translation>
    </message>
    <message>
        <source>This server&apos;s certificate</source>
        <translation>本服务器的证书</translation>
    </message>
    <message>
        <source>Key</source>
        <translation>私钥</translation>
    </message>
    <message>
        <source>This server&apos;s key</source>
        <translation>本服务器的私钥</translation>
    </message>
    <message>
        <source>none: no phone&apos;s certificate asked</source>
        <translation>无：不要求话机证书</translation>
    </message>
    <message>
        <source>PEM files of the CAs that issued the phones&apos; certificates, separated by &apos;;&apos; (a site that mixes makers gives one for each). Over HTTPS a phone then fetches only with a certificate issued under one of them, and only the file of the MAC it names.</source>
        <translation>签发话机证书的 CA 的 PEM 文件，以“;”分隔（混用多个厂商的站点每个厂商给一个）。通过 HTTPS 时，话机须持有其中某个 CA 签发的证书才能获取文件，且只能获取证书所写 MAC 的文件。</translation>
    </message>
    <message>
        <source>none</source>
        <translation>无</translation>
    </message>
    <message>
        <source>An htdigest file (user:realm:hash): a user for the site or one per phone, named by its MAC. It holds no password.</source>
        <translation>htdigest 文件（用户:域:哈希）：整个站点一个用户，或每台话机一个以其 MAC 命名的用户。文件中不含密码。</translation>
    </message>
    <message>
        <source>Serve without credentials (knowingly)</source>
        <translation>不用凭据提供文件（知情）</translation>
    </message>
    <message>
        <source>Plain configuration files go to anyone who can reach the port and name a MAC, with the phones&apos; passwords in them.</source>
        <translation>未加密的配置文件（其中含有话机的密码）将提供给任何能访问该端口并说出一个 MAC 的人。</translation>
    </message>
    <message>
        <source>A CA of the phones&apos; certificates</source>
        <translation>话机证书的 CA</translation>
    </message>
    <message>
        <source>Credentials file</source>
        <translation>凭据文件</translation>
    </message>
    <message>
        <source>The phones&apos; credentials</source>
        <translation>话机的凭据</translation>
    </message>
    <message>
        <source>off</source>
        <comment>no TFTP</comment>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Serve the folder over TFTP too, on this port: phones that take their server from DHCP option 66 or 150. Port 69 needs privileges; a port above 1024 goes in option 66 as tftp://HOST:PORT/.</source>
        <translation>同时通过 TFTP 在此端口提供该文件夹：供从 DHCP 选项 66 或 150 获取服务器的话机使用。端口 69 需要特权；1024 以上的端口以 tftp://主机:端口/ 的形式写入选项 66。</translation>
    </message>
    <message>
        <source>TFTP</source>
        <translation>TFTP</translation>
    </message>
</context>
<context>
    <name>velquor::app::ServePhonesModel</name>
    <message>
        <source>Fetches</source>
        <translation>获取次数</translation>
    </message>
    <message>
        <source>MAC</source>
        <translation>MAC</translation>
    </message>
    <message>
        <source>File</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>First fetch</source>
        <translation>首次获取</translation>
    </message>
    <message>
        <source>Peer</source>
        <translation>对端</translation>
    </message>
    <message>
        <source>User agent</source>
        <translation>用户代理</translation>
    </message>
    <message>
        <source>Last request</source>
        <translation>最近请求</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <extracomment>%1 is &quot;asked, refused&quot;, %2 why, as the server logged it</extracomment>
        <translation>%1（%2）</translation>
    </message>
    <message>
        <source>Proof</source>
        <translation>验证</translation>
    </message>
</context>
<context>
    <name>velquor::app::SettingsDialog</name>
    <message>
        <source>Kesto server settings of this user, saved in %1. An empty field takes the value shown in grey (the system file&apos;s or the built-in one).</source>
        <translation>当前用户的 Kesto 服务器设置，保存在 %1。留空的字段使用灰色显示的值（系统配置文件中的值或内置默认值）。</translation>
    </message>
    <message>
        <source>The settings could not be read; fields left empty.</source>
        <translation>无法读取设置，各字段留空。</translation>
    </message>
    <message>
        <source>The settings were not saved.</source>
        <translation>设置未保存。</translation>
    </message>
    <message>
        <source>CA certificate</source>
        <translation>CA 证书</translation>
    </message>
    <message>
        <source>Connecting to %1…</source>
        <translation>正在连接 %1…</translation>
    </message>
    <message>
        <source>No connection to %1.</source>
        <translation>无法连接到 %1。</translation>
    </message>
    <message>
        <source>The test stopped on an unexpected error.</source>
        <translation>测试因意外错误而中止。</translation>
    </message>
    <message>
        <source>The connection to %1 works.</source>
        <translation>与 %1 的连接正常。</translation>
    </message>
    <message>
        <source>Server address:</source>
        <translation>服务器地址：</translation>
    </message>
    <message>
        <source>Ports (login, account, device):</source>
        <translation>端口（登录、账号、设备）：</translation>
    </message>
    <message>
        <source>CA certificate file:</source>
        <translation>CA 证书文件：</translation>
    </message>
    <message>
        <source>Connect time-out (seconds):</source>
        <translation>连接超时（秒）：</translation>
    </message>
    <message>
        <source>Exchange time-out (seconds):</source>
        <translation>应答超时（秒）：</translation>
    </message>
    <message>
        <source>Device requests at once:</source>
        <translation>同时发送的设备请求数：</translation>
    </message>
    <message>
        <source>Certificate: %1</source>
        <translation>证书：%1</translation>
    </message>
    <message>
        <source>Names: %1</source>
        <translation>名称：%1</translation>
    </message>
    <message>
        <source>Issued by: %1</source>
        <translation>颁发者：%1</translation>
    </message>
    <message>
        <source>Valid until: %1</source>
        <translation>有效期至：%1</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>浏览…</translation>
    </message>
    <message>
        <source>Test connection</source>
        <translation>测试连接</translation>
    </message>
    <message>
        <source>system file</source>
        <translation>系统配置文件</translation>
    </message>
    <message>
        <source>built in</source>
        <translation>内置默认值</translation>
    </message>
    <message>
        <source>cacert.pem here, then velquor/cacert.pem in the configuration folders</source>
        <translation>先找当前目录下的 cacert.pem，再找配置目录中的 velquor/cacert.pem</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <comment>a value and where it comes from</comment>
        <translation>%1（%2）</translation>
    </message>
    <message>
        <source>%1 %2</source>
        <comment>a field&apos;s label and the value typed in it</comment>
        <translation>%1 %2</translation>
    </message>
    <message>
        <source>The desktop&apos;s language</source>
        <translation>跟随桌面语言</translation>
    </message>
    <message>
        <source>The language takes effect the next time Velquor starts.</source>
        <translation>语言设置在下次启动 Velquor 时生效。</translation>
    </message>
    <message>
        <source>Window language:</source>
        <translation>界面语言：</translation>
    </message>
    <message numerus="yes">
        <source>%1 does not answer on %n of its three ports.</source>
        <translation>
            <numerusform>%1 的三个端口中有 %n 个无应答。</numerusform>
        </translation>
    </message>
    <message>
        <source>Login port %1: works</source>
        <translation>登录端口 %1：正常</translation>
    </message>
    <message>
        <source>Login port %1: %2</source>
        <translation>登录端口 %1：%2</translation>
    </message>
    <message>
        <source>Account port %1: works</source>
        <translation>账号端口 %1：正常</translation>
    </message>
    <message>
        <source>Account port %1: %2</source>
        <translation>账号端口 %1：%2</translation>
    </message>
    <message>
        <source>Device port %1: works</source>
        <translation>设备端口 %1：正常</translation>
    </message>
    <message>
        <source>Device port %1: %2</source>
        <translation>设备端口 %1：%2</translation>
    </message>
    <message>
        <source>MAC form (plain, lower, upper, as-written):</source>
        <translation>MAC 写法（plain、lower、upper、as-written）：</translation>
    </message>
    <message>
        <source>Device file name ({mac} is the MAC, e.g. cfg{mac}.xml):</source>
        <translation>设备文件名（{mac} 代表 MAC，例如 cfg{mac}.xml）：</translation>
    </message>
</context>
<context>
    <name>velquor::app::SiteTableModel</name>
    <message>
        <source>not asked</source>
        <translation>未查询</translation>
    </message>
    <message>
        <source>registered</source>
        <translation>已注册</translation>
    </message>
    <message>
        <source>not registered</source>
        <translation>未注册</translation>
    </message>
    <message>
        <source>another account</source>
        <translation>其他账户</translation>
    </message>
    <message>
        <source>Row</source>
        <translation>行</translation>
    </message>
    <message>
        <source>MAC</source>
        <translation>MAC</translation>
    </message>
    <message>
        <source>Verdict</source>
        <translation>结论</translation>
    </message>
    <message>
        <source>What to do</source>
        <translation>处理方法</translation>
    </message>
    <message>
        <source>File</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>MD5</source>
        <translation>MD5</translation>
    </message>
    <message>
        <source>Registered</source>
        <translation>注册</translation>
    </message>
    <message>
        <source>Server</source>
        <translation>服务器</translation>
    </message>
    <message>
        <source>Fetched by the phone</source>
        <translation>话机获取</translation>
    </message>
    <message>
        <source>Phone asked</source>
        <translation>话机查询</translation>
    </message>
</context>
<context>
    <name>velquor::app::SiteTableView</name>
    <message>
        <source>Site table</source>
        <translation>现场表</translation>
    </message>
    <message>
        <source>optional: the phone server&apos;s fetch log</source>
        <translation>可选：话机服务器的获取日志</translation>
    </message>
    <message>
        <source>optional: log in to see the registrations</source>
        <translation>可选：登录以查看注册情况</translation>
    </message>
    <message>
        <source>Problems only</source>
        <translation>仅显示问题</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>Press Refresh to check every phone of the sheet.</source>
        <translation>按“刷新”检查表中的每台话机。</translation>
    </message>
    <message>
        <source>Device sheet:</source>
        <translation>设备表：</translation>
    </message>
    <message>
        <source>Output folder:</source>
        <translation>输出文件夹：</translation>
    </message>
    <message>
        <source>Phones&apos; key:</source>
        <translation>话机密钥：</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>密码：</translation>
    </message>
    <message>
        <source>User:</source>
        <translation>用户：</translation>
    </message>
    <message>
        <source>Fetch log:</source>
        <translation>获取日志：</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Checking every phone of the site…</source>
        <translation>正在检查现场的每台话机…</translation>
    </message>
    <message>
        <source>The site could not be checked: %1</source>
        <translation>无法检查现场：%1</translation>
    </message>
    <message numerus="yes">
        <source>%n phone(s): %1 ready, %2 with a problem</source>
        <translation>
            <numerusform>%n 台话机：%1 台就绪，%2 台有问题</numerusform>
        </translation>
    </message>
    <message>
        <source>optional: the CA certificates an https server text is checked against</source>
        <translation>可选：用于校验 https 服务器文本的 CA 证书</translation>
    </message>
    <message>
        <source>Web server CA:</source>
        <translation>Web 服务器 CA：</translation>
    </message>
    <message>
        <source>not needed: logged in with KESTO</source>
        <translation>无需填写：已通过 KESTO 登录</translation>
    </message>
    <message numerus="yes">
        <source>%1 phones: %2 ready, %3 with a problem, %n row(s) of the sheet refused</source>
        <extracomment>%1 phones (every row of the sheet), %2 ready, %3 with a problem, %n rows of the sheet that hold no MAC address (among the problems)</extracomment>
        <translation>
            <numerusform>%1 台话机：%2 台就绪，%3 台有问题，表格中 %n 行被拒绝</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>velquor::app::kestologin</name>
    <message>
        <source>Logging in…</source>
        <translation>正在登录…</translation>
    </message>
    <message>
        <source>Kesto login</source>
        <translation>Kesto 登录</translation>
    </message>
    <message>
        <source>User:</source>
        <translation>用户名：</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>密码：</translation>
    </message>
</context>
</TS>
