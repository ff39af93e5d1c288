<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>CAboutDlg</name>
    <message>
        <source>확인</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Tarvisel 정보</source>
        <translation>About Tarvisel</translation>
    </message>
    <message>
        <source>Tarvisel 버전 2.02</source>
        <translation>Tarvisel version 2.02</translation>
    </message>
</context>
<context>
    <name>CFontDialog</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Start Address :</source>
        <translation>Start Address :</translation>
    </message>
    <message>
        <source>Block Count   :</source>
        <translation>Block Count   :</translation>
    </message>
    <message>
        <source>FONT DOWNLOAD</source>
        <translation>FONT DOWNLOAD</translation>
    </message>
</context>
<context>
    <name>CQtWindowServices</name>
    <message>
        <source>열기</source>
        <translation>Open</translation>
    </message>
</context>
<context>
    <name>CStationWindow</name>
    <message>
        <source>Open</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>Image (*.bin);;All files (*)</source>
        <translation>Image (*.bin);;All files (*)</translation>
    </message>
    <message>
        <source>Add port</source>
        <translation>Add port</translation>
    </message>
    <message>
        <source>Path of the serial port (a tty, a pty of the simulator):</source>
        <translation>Path of the serial port (a tty, a pty of the simulator):</translation>
    </message>
    <message>
        <source>Tarvisel Station</source>
        <translation>Tarvisel Station</translation>
    </message>
    <message>
        <source>Ports are not followed: %1</source>
        <translation>Ports are not followed: %1</translation>
    </message>
    <message>
        <source>no image</source>
        <translation>no image</translation>
    </message>
    <message>
        <source>Ask once for all</source>
        <translation>Ask once for all</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>No</source>
        <translation>No</translation>
    </message>
    <message>
        <source>The answer when a handset&apos;s version differs from the image&apos;s</source>
        <translation>The answer when a handset&apos;s version differs from the image&apos;s</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>Speed</source>
        <translation>Speed</translation>
    </message>
    <message>
        <source>Version differs</source>
        <translation>Version differs</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>Adapter</source>
        <translation>Adapter</translation>
    </message>
    <message>
        <source>Progress</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>Phase</source>
        <translation>Phase</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>Result</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>Add port...</source>
        <translation>Add port...</translation>
    </message>
    <message>
        <source>Run</source>
        <translation>Run</translation>
    </message>
    <message>
        <source>Watch</source>
        <translation>Watch</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>Open log</source>
        <translation>Open log</translation>
    </message>
    <message>
        <source>Run again</source>
        <translation>Run again</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>%1   Size %2   Version %3</source>
        <translation>%1   Size %2   Version %3</translation>
    </message>
    <message>
        <source>completed %1, failed %2, running %3</source>
        <translation>completed %1, failed %2, running %3</translation>
    </message>
    <message>
        <source>watching: each handset is flashed as it is plugged in</source>
        <translation>watching: each handset is flashed as it is plugged in</translation>
    </message>
    <message>
        <source>Log: %1</source>
        <translation>Log: %1</translation>
    </message>
    <message>
        <source>Handsets are still being flashed. Closing ends their downloads. Close?</source>
        <translation>Handsets are still being flashed. Closing ends their downloads. Close?</translation>
    </message>
    <message>
        <source>Unit</source>
        <translation>Unit</translation>
    </message>
</context>
<context>
    <name>CTarviselWindow</name>
    <message>
        <source>Save log...</source>
        <translation>Save log...</translation>
    </message>
    <message>
        <source>Save log</source>
        <translation>Save log</translation>
    </message>
    <message>
        <source>Log files (*.log *.txt)</source>
        <translation>Log files (*.log *.txt)</translation>
    </message>
    <message>
        <source>The log could not be written to %1.</source>
        <translation>The log could not be written to %1.</translation>
    </message>
    <message>
        <source>(no image opened yet)</source>
        <translation>(no image opened yet)</translation>
    </message>
    <message>
        <source>Tarvisel 정보(&amp;A)...</source>
        <translation>&amp;About Tarvisel...</translation>
    </message>
    <message>
        <source>Tarvisel Station...</source>
        <translation>Tarvisel Station...</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>File Information</source>
        <translation>File Information</translation>
    </message>
    <message>
        <source>Bin   :</source>
        <translation>Bin   :</translation>
    </message>
    <message>
        <source>Size :</source>
        <translation>Size :</translation>
    </message>
    <message>
        <source>byte</source>
        <translation>byte</translation>
    </message>
    <message>
        <source>Version :</source>
        <translation>Version :</translation>
    </message>
    <message>
        <source>Phone Information</source>
        <translation>Phone Information</translation>
    </message>
    <message>
        <source>S/W version :</source>
        <translation>S/W version :</translation>
    </message>
    <message>
        <source>Compiled     :</source>
        <translation>Compiled     :</translation>
    </message>
    <message>
        <source>PCB version :</source>
        <translation>PCB version :</translation>
    </message>
    <message>
        <source>&amp;Setting</source>
        <translation>&amp;Setting</translation>
    </message>
    <message>
        <source>Port :</source>
        <translation>Port :</translation>
    </message>
    <message>
        <source>Speed :</source>
        <translation>Speed :</translation>
    </message>
    <message>
        <source>Down load Type :</source>
        <translation>Down load Type :</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>BIN 파일 열기</source>
        <translation>Open a BIN file</translation>
    </message>
    <message>
        <source>다운로딩 시작</source>
        <translation>Start the download</translation>
    </message>
    <message>
        <source>다운로딩 취소</source>
        <translation>Cancel the download</translation>
    </message>
    <message>
        <source>DM상태에서 단말기 정보 읽어옴</source>
        <translation>Read the handset&apos;s information in DM mode</translation>
    </message>
    <message>
        <source>단말기 SIO를 DM으로..</source>
        <translation>Switch the handset&apos;s SIO to DM..</translation>
    </message>
</context>
<context>
    <name>TarviselSession</name>
    <message>
        <source>: no device</source>
        <translation>: no device</translation>
    </message>
    <message>
        <source> (not present)</source>
        <translation> (not present)</translation>
    </message>
    <message>
        <source>: not present</source>
        <translation>: not present</translation>
    </message>
    <message>
        <source>Tarvisel ver 2.03</source>
        <translation>Tarvisel ver 2.03</translation>
    </message>
</context>
</TS>
