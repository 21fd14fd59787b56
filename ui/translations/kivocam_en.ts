<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>AboutUsDialog</name>
    <message>
        <source>关于我们</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Kivo虚拟摄像头</source>
        <translation>Kivo Virtual Camera</translation>
    </message>
    <message>
        <source>把手机变成电脑的摄像头和麦克风</source>
        <translation>Your phone as this computer&apos;s camera and microphone</translation>
    </message>
    <message>
        <source>&#x3000;V</source>
        <translation>  v</translation>
    </message>
    <message>
        <source>更多产品：&lt;a href=&quot;https://www.kivocam.com/products&quot;&gt;Kivo产品中心&lt;/a&gt;</source>
        <translation>More products: &lt;a href=&quot;https://www.kivocam.com/products&quot;&gt;Kivo products&lt;/a&gt;</translation>
    </message>
    <message>
        <source>&lt;a href=&quot;https://www.kivocam.com/agreement&quot;&gt;用户协议&lt;/a&gt;&#x3000;|&#x3000;&lt;a href=&quot;https://www.kivocam.com/privacy&quot;&gt;隐私政策&lt;/a&gt;</source>
        <translation>&lt;a href=&quot;https://www.kivocam.com/agreement&quot;&gt;Terms of use&lt;/a&gt;  |  &lt;a href=&quot;https://www.kivocam.com/privacy&quot;&gt;Privacy policy&lt;/a&gt;</translation>
    </message>
</context>
<context>
    <name>FirstTooltipsForm</name>
    <message>
        <source>Tip</source>
        <translation>Tip</translation>
    </message>
    <message>
        <source>不知道怎么用，看这里哦！</source>
        <translation>New here? Start with this guide.</translation>
    </message>
    <message>
        <source>关闭提示</source>
        <translation>Got it</translation>
    </message>
</context>
<context>
    <name>HelpInfoDialog</name>
    <message>
        <source>其它软件如何使用Kivo虚拟摄像头？</source>
        <translation>Using the camera in other programs</translation>
    </message>
</context>
<context>
    <name>IPDisplayDialog</name>
    <message>
        <source>IP</source>
        <translation>IP</translation>
    </message>
    <message>
        <source>- - -</source>
        <translation>- - -</translation>
    </message>
</context>
<context>
    <name>MainForm</name>
    <message>
        <source>TextLabel</source>
        <translation>TextLabel</translation>
    </message>
    <message>
        <source>正在等待连接</source>
        <translation>Waiting for connection</translation>
    </message>
    <message>
        <source>连接成功
设备名</source>
        <translation>Connected
Device name</translation>
    </message>
    <message>
        <source>连接成功
%1</source>
        <translation>Connected
%1</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Kivo虚拟摄像头</source>
        <translation>Kivo Virtual Camera</translation>
    </message>
    <message>
        <source>
V1.0版本</source>
        <translation>
v1.0</translation>
    </message>
    <message>
        <source>其它软件如何使用Kivo虚拟摄像头？</source>
        <translation>Using the camera in other programs</translation>
    </message>
    <message>
        <source>Kivo虚拟摄像头
状态：已连接</source>
        <translation>Kivo Virtual Camera
Status: connected</translation>
    </message>
    <message>
        <source>Kivo虚拟摄像头
状态：未连接</source>
        <translation>Kivo Virtual Camera
Status: not connected</translation>
    </message>
    <message>
        <source>录屏失败，无法创建录屏文件，请检查保存目录！</source>
        <translation>Recording failed: the video file could not be created. Check the save folder.</translation>
    </message>
    <message>
        <source>保存目录无法写入，文件已保存到：
%1</source>
        <translation>The save folder cannot be written to. The file was saved in:
%1</translation>
    </message>
    <message>
        <source>显示窗口</source>
        <translation>Show window</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>录屏失败，未能保存录屏文件！</source>
        <translation>Recording failed: the video file could not be saved.</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>KivoCam</translation>
    </message>
    <message>
        <source>截屏失败，请重试！</source>
        <translation>The screenshot failed. Please try again.</translation>
    </message>
    <message>
        <source>当前尚未安装虚拟麦克风驱动，需要先安装驱动才可使用，是否安装？
安装后可能需要重启电脑才能正常使用。</source>
        <translation>The virtual microphone needs a driver that is not installed yet. Install it now?
The computer may need a restart before the microphone works.</translation>
    </message>
    <message>
        <source>虚拟麦克风已开启！</source>
        <translation>The virtual microphone is on.</translation>
    </message>
    <message>
        <source>虚拟麦克风开启失败！是否需要重新安装驱动？</source>
        <translation>The virtual microphone could not be turned on. Reinstall its driver?</translation>
    </message>
    <message>
        <source>虚拟麦克风已关闭！</source>
        <translation>The virtual microphone is off.</translation>
    </message>
    <message>
        <source>虚拟麦克风关闭失败！</source>
        <translation>The virtual microphone could not be turned off.</translation>
    </message>
    <message>
        <source>虚拟麦克风驱动安装失败，请重试！</source>
        <translation>The virtual microphone driver could not be installed. Please try again.</translation>
    </message>
    <message>
        <source>虚拟麦克风驱动卸载成功！</source>
        <translation>The virtual microphone driver was removed.</translation>
    </message>
    <message>
        <source>虚拟麦克风驱动卸载失败！</source>
        <translation>The virtual microphone driver could not be removed.</translation>
    </message>
</context>
<context>
    <name>MenuStateForm</name>
    <message>
        <source>00:00:00</source>
        <translation>00:00:00</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>更多设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>使用帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>关于我们</source>
        <translation>About</translation>
    </message>
    <message>
        <source>已连接%1</source>
        <translation>Connected to %1</translation>
    </message>
    <message>
        <source>已连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>截屏</source>
        <translation>Screenshot</translation>
    </message>
    <message>
        <source>录屏</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>截屏成功，可在
设置中打开目录查看</source>
        <translation>Screenshot saved.
Open its folder in Settings.</translation>
    </message>
</context>
<context>
    <name>SettingDialog</name>
    <message>
        <source>Dialog</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>更多设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>截屏后马上打开目录</source>
        <translation>Open folder after a screenshot</translation>
    </message>
    <message>
        <source>窗口置顶</source>
        <translation>Keep window on top</translation>
    </message>
    <message>
        <source>虚拟麦克风：</source>
        <translation>Virtual microphone:</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>On</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>注:打开后,录屏软件即可录制手机麦克风声音</source>
        <translation>When on, other programs can record the phone&apos;s microphone.</translation>
    </message>
    <message>
        <source>设备名：</source>
        <translation>Device name:</translation>
    </message>
    <message>
        <source>保存目录：</source>
        <translation>Save folder:</translation>
    </message>
    <message>
        <source>选择保存目录</source>
        <translation>Choose save folder</translation>
    </message>
    <message>
        <source>打开保存目录</source>
        <translation>Open save folder</translation>
    </message>
    <message>
        <source>升级到最新版本</source>
        <translation>Update to the latest version</translation>
    </message>
    <message>
        <source>本机在其他设备上显示的名称，修改后重启软件才能生效</source>
        <translation>The name other devices see for this computer. A change takes effect after a restart.</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>KivoCam</translation>
    </message>
    <message>
        <source>请访问 %1 下载最新版本。</source>
        <translation>Download the latest version from %1.</translation>
    </message>
    <message>
        <source>选择保存文件目录</source>
        <translation>Choose the save folder</translation>
    </message>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>当前选择路径无写入权限！</source>
        <translation>The chosen folder cannot be written to.</translation>
    </message>
    <message>
        <source>保存目录不存在：%1</source>
        <translation>The save folder does not exist: %1</translation>
    </message>
    <message>
        <source>无法打开保存目录：%1</source>
        <translation>The save folder could not be opened: %1</translation>
    </message>
</context>
<context>
    <name>UseHelpDialog</name>
    <message>
        <source>使用帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>安卓下载</source>
        <translation>Android</translation>
    </message>
    <message>
        <source>ios下载</source>
        <translation>iPhone</translation>
    </message>
    <message>
        <source>2. 请确保手机和电脑处在同一个wifi下。</source>
        <translation>2. Make sure the phone and this computer are on the same Wi-Fi network.</translation>
    </message>
    <message>
        <source>3. 打开移动端虚拟摄像头app和电脑端Kivo虚拟摄像头
软件，在手机端点击搜索到的电脑设备，一键连接。</source>
        <translation>3. Open the camera app on the phone and Kivo Virtual Camera on this
computer, then tap this computer in the app&apos;s list to connect.</translation>
    </message>
    <message>
        <source>1. 请下载移动端虚拟摄像头APP，或&lt;a href=&quot;https://www.kivocam.com/download&quot;&gt;点击这里下载&lt;/a&gt;</source>
        <translation>1. Install the Kivo camera app on your phone, or &lt;a href=&quot;https://www.kivocam.com/download&quot;&gt;download it here&lt;/a&gt;.</translation>
    </message>
</context>
<context>
    <name>ui::Prompts</name>
    <message>
        <source>是</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>否</source>
        <translation>No</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
