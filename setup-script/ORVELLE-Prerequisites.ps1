<#
ORVELLE GAME SUPPORT - setup and repair of a PC game's prerequisites.

Installs or repairs .NET Framework 3.5, DirectPlay, the Visual C++ runtimes and the
legacy DirectX runtime, then writes a plain-text diagnostic report to the desktop.
The launcher runs this file with Windows PowerShell 5.1 and no parameters (with -Unattended
when it was started with /quiet); run it by hand with -DiagnosticsOnly (report only) and
-GamePath (a game folder or file to describe). -Unattended is for deployment tools that run
it as SYSTEM: no console clearing, no message box, the report under ProgramData.

Exit codes: 0 no failure recorded (also after handing over to an elevated copy),
            1 at least one failure or a fatal error, 3 not Windows NT.
With -Unattended also: 3010 no failure but Windows must restart, 1618 every failure was
            Windows Installer being busy with another installation (retry later).

For tests and maintenance the file can be loaded without running anything:
    . .\ORVELLE-Prerequisites.ps1
Dot-sourced, it only defines its functions and state; the main sequence runs only when
the file itself is executed.

This file stays UTF-8 with a byte-order mark and LF line ends: Windows PowerShell 5.1
reads a script without a byte-order mark in the ANSI code page, which would garble the
Thai texts of the completion message.
#>
[CmdletBinding()]
param(
    [switch]$DiagnosticsOnly,
    [string]$GamePath = '',
    [switch]$Unattended
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'
$ProgressPreference = 'SilentlyContinue'

#region Module path, pinned before anything can load a module

# The Windows folder as Windows itself reports it (GetWindowsDirectory), never from the
# SystemRoot variable, which the account that starts this script can set. "" when the
# system names none.
function Get-WindowsFolder {
    return [Environment]::GetFolderPath([Environment+SpecialFolder]::Windows)
}

# The Program Files folder as Windows reports it for this process, not from a variable.
function Get-ProgramFilesFolder {
    return [Environment]::GetFolderPath([Environment+SpecialFolder]::ProgramFiles)
}

# The system drive ("C:"), taken from the Windows folder's path.
function Get-SystemDrive {
    $windows = Get-WindowsFolder
    if ([string]::IsNullOrEmpty($windows)) {
        return ''
    }
    return [System.IO.Path]::GetPathRoot($windows).TrimEnd('\')
}

# Lets this elevated process load modules only from Windows' own module folders, which only
# administrators can change: by default a module of the same name in the user's Documents
# (BitsTransfer, Dism, Defender, CimCmdlets, even the Utility module behind New-Object)
# would be found first and loaded by name. Uses no cmdlet, so that it loads nothing itself.
function Set-SystemModulePath {
    $folders = @([System.IO.Path]::Combine($PSHOME, 'Modules'))
    $windows = Get-WindowsFolder
    if (-not [string]::IsNullOrEmpty($windows)) {
        $folders += [System.IO.Path]::Combine($windows, 'System32\WindowsPowerShell\v1.0\Modules')
    }
    $programFiles = Get-ProgramFilesFolder
    if (-not [string]::IsNullOrEmpty($programFiles)) {
        $folders += [System.IO.Path]::Combine($programFiles, 'WindowsPowerShell\Modules')
    }
    $env:PSModulePath = $folders -join [System.IO.Path]::PathSeparator
}

# First thing when the file is run; dot-sourced (tests, maintenance) it changes nothing.
if ($MyInvocation.InvocationName -ne '.') {
    Set-SystemModulePath
}
#endregion

try {
    $utf8NoBom = New-Object System.Text.UTF8Encoding $false
    [Console]::OutputEncoding = $utf8NoBom
    $OutputEncoding = $utf8NoBom
} catch {
    # Without a real console (redirected or hosted) the encoding cannot be set; output still works.
}

#region State shared by every section
$script:ToolName = 'ORVELLE GAME SUPPORT'
# The product's version, set here only: the build reads it from this line.
$script:ToolVersion = '1.0.2'
$script:RestartRequired = $false
$script:Failures = New-Object System.Collections.Generic.List[string]
$script:Warnings = New-Object System.Collections.Generic.List[string]
$script:LogPath = ''
$script:WorkDir = ''
# What this run did, in order, as data the summary, the report and the exit code read (the
# log is for people and is never read back): one entry per program that completed and per
# failure or warning. Subject: the prerequisite or package a problem concerns; Item: the
# runner label of a program; Outcome: 'Completed', 'Failed' or 'Warned'; ExitCode: the
# program's code or $null; Kind: why it failed ('ExitCode', 'NoExitCode', 'Other', ...).
$script:RunRecord = New-Object System.Collections.Generic.List[object]
# Set from -Unattended by Invoke-SetupSequence: a deployment tool runs the script and nobody
# watches it. (Not $script:Unattended: that is the parameter itself, which this line would reset.)
$script:RunUnattended = $false
# The product folder ("ORVELLE\Game Support" or the launcher's fresh folder for it) once
# Initialize-SetupFolders has secured it; "" before.
$script:ProductDir = ''
#endregion

#region Output: log file and console

# Log and capture text is appended as UTF-8 without a byte-order mark, the same bytes
# under Windows PowerShell 5.1 and PowerShell 7.
$script:LogEncoding = New-Object System.Text.UTF8Encoding $false
$script:LevelColours = @{ 'INFO' = 'Gray'; 'OK' = 'Green'; 'WARN' = 'Yellow'; 'ERROR' = 'Red' }

# Appends text to the log file when one is set up. Never throws: losing a log line
# must not stop a repair.
function Add-LogText {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Text)
    if ([string]::IsNullOrWhiteSpace($script:LogPath)) { return }
    try {
        [System.IO.File]::AppendAllText($script:LogPath, $Text, $script:LogEncoding)
    } catch {
        # Logging never fails the script.
    }
}

# Writes one "[time] [level] message" line to the log file (when set up) and the message
# alone to the console in the level's colour. Never throws because of the log file.
function Write-Log {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)][AllowEmptyString()][string]$Message,
        [ValidateSet('INFO', 'OK', 'WARN', 'ERROR', IgnoreCase = $false)][string]$Level = 'INFO'
    )
    $line = '[{0}] [{1}] {2}' -f (Get-Date).ToString('yyyy-MM-dd HH:mm:ss'), $Level, $Message
    Add-LogText -Text ($line + "`r`n")
    Write-Host $Message -ForegroundColor $script:LevelColours[$Level]
}

# Shows a numbered step title in Cyan and logs it.
function Write-Step {
    param(
        [Parameter(Mandatory = $true)][int]$Number,
        [Parameter(Mandatory = $true)][int]$Total,
        [Parameter(Mandatory = $true)][string]$Message
    )
    Write-Host ''
    Write-Host ('[{0}/{1}] {2}' -f $Number, $Total, $Message) -ForegroundColor Cyan
    Write-Log -Message ('STEP {0}/{1}: {2}' -f $Number, $Total, $Message) -Level INFO
}

# Adds one entry to the run record.
function Add-RunRecordEntry {
    param(
        [Parameter(Mandatory = $true)][ValidateSet('Completed', 'Failed', 'Warned')][string]$Outcome,
        [string]$Subject = '',
        [string]$Item = '',
        $ExitCode = $null,
        [string]$Kind = '',
        [string]$Message = ''
    )
    $script:RunRecord.Add([pscustomobject]@{
            Subject = $Subject; Item = $Item; Outcome = $Outcome; ExitCode = $ExitCode; Kind = $Kind; Message = $Message })
}

# An exception whose message is the failure's text and whose Data carries its kind (and the
# program's exit code, when there is one), so that whoever catches it records the kind as
# data instead of telling failures apart by their wording.
function New-RunFailure {
    param(
        [Parameter(Mandatory = $true)][string]$Message,
        [Parameter(Mandatory = $true)][string]$Kind,
        $ExitCode = $null
    )
    $exception = New-Object System.Management.Automation.RuntimeException $Message
    $exception.Data['FailureKind'] = $Kind
    if ($null -ne $ExitCode) {
        $exception.Data['ExitCode'] = $ExitCode
    }
    return $exception
}

# The kind and exit code a caught error carries (from New-RunFailure): Kind 'Other' and
# ExitCode $null for any other error, or when there is none.
function Get-RunFailureDetail {
    param($Cause)
    $detail = [pscustomobject]@{ Kind = 'Other'; ExitCode = $null }
    $exception = $Cause
    if ($Cause -is [System.Management.Automation.ErrorRecord]) {
        $exception = $Cause.Exception
    }
    if ($exception -is [System.Exception] -and $exception.Data.Contains('FailureKind')) {
        $detail.Kind = [string]$exception.Data['FailureKind']
        if ($exception.Data.Contains('ExitCode')) {
            $detail.ExitCode = $exception.Data['ExitCode']
        }
    }
    return $detail
}

# Records a problem of Subject: its message in Failures (Outcome Failed: the run will end
# with exit code 1) or Warnings (Outcome Warned: listed in the report, exit code unchanged)
# and the log, and an entry with the kind its cause carries in the run record.
function Add-RunProblem {
    param(
        [Parameter(Mandatory = $true)][ValidateSet('Failed', 'Warned')][string]$Outcome,
        [Parameter(Mandatory = $true)][string]$Message,
        [string]$Subject = '',
        $Cause = $null
    )
    $level = 'WARN'
    $messages = $script:Warnings
    if ($Outcome -eq 'Failed') {
        $level = 'ERROR'
        $messages = $script:Failures
    }
    $messages.Add($Message)
    $detail = Get-RunFailureDetail -Cause $Cause
    Add-RunRecordEntry -Outcome $Outcome -Subject $Subject -ExitCode $detail.ExitCode -Kind $detail.Kind -Message $Message
    Write-Log -Message $Message -Level $level
}

# Records a critical problem of Subject: the run will end with exit code 1.
function Add-Failure {
    param([Parameter(Mandatory = $true)][string]$Message, [string]$Subject = '', $Cause = $null)
    Add-RunProblem -Outcome Failed -Message $Message -Subject $Subject -Cause $Cause
}

# Records a non-critical problem of Subject: listed in the report, exit code unchanged.
function Add-Warning {
    param([Parameter(Mandatory = $true)][string]$Message, [string]$Subject = '', $Cause = $null)
    Add-RunProblem -Outcome Warned -Message $Message -Subject $Subject -Cause $Cause
}
#endregion

#region Rights and Windows build

# True when the current Windows identity is in the built-in Administrators role.
function Test-IsAdministrator {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    return $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)
}

# .NET's answer to "is the operating system 64-bit": only the fallback of
# Get-WindowsArchitecture when Windows' own record cannot be read.
function Test-DotNetSees64BitOperatingSystem {
    return [Environment]::Is64BitOperatingSystem
}

# Windows' own name of its processor architecture ("x86", "AMD64", "ARM64") from the system
# environment in the registry. A process's PROCESSOR_ARCHITECTURE variable names the
# process's architecture instead: a 32-bit process reads x86, and an emulated x64 process on
# ARM64 Windows reads AMD64.
function Get-SystemProcessorArchitecture {
    $environment = Get-ItemProperty -Path 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' -Name 'PROCESSOR_ARCHITECTURE'
    return [string]$environment.PROCESSOR_ARCHITECTURE
}

# Which Windows this is: "x86", "x64" or "ARM64", whatever the architecture of this process
# (Test-Is64BitProcess answers for the process). When Windows' record cannot be read or names
# another architecture, a 64-bit operating system counts as x64.
function Get-WindowsArchitecture {
    $name = ''
    try {
        $name = Get-SystemProcessorArchitecture
    } catch {
        # Unreadable: decided by the bitness below.
    }
    switch ($name) {
        'x86' { return 'x86' }
        'AMD64' { return 'x64' }
        'ARM64' { return 'ARM64' }
    }
    if (Test-DotNetSees64BitOperatingSystem) {
        return 'x64'
    }
    return 'x86'
}

# True on 64-bit Windows (x64 or ARM64), whatever the bitness of this process: the same
# answer as Get-WindowsArchitecture, for the callers that only ask about bitness.
function Test-Is64BitWindows {
    return ((Get-WindowsArchitecture) -ne 'x86')
}

# Quotes one command-line argument so that Windows' argument parsing gives it back
# unchanged. Double quotes must already be gone. Backslashes right before the closing
# quote are doubled, or "C:\Games\" would reach the child as C:\Games" and swallow the
# arguments after it.
function ConvertTo-QuotedArgument {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Value)
    return '"' + ($Value -replace '(\\+)$', '$1$1') + '"'
}

# True when the script runs as the local SYSTEM account, as deployment tools run it.
function Test-IsSystemAccount {
    return [Security.Principal.WindowsIdentity]::GetCurrent().IsSystem
}

# True when a person could see and answer a message box: the process runs outside session 0
# (where services and tasks running as SYSTEM live) on a visible window station
# (UserInteractive). A box anywhere else blocks the run until something kills it.
function Test-SessionCanShowMessageBox {
    return ([Environment]::UserInteractive -and [System.Diagnostics.Process]::GetCurrentProcess().SessionId -ne 0)
}

# True when this PowerShell process is 64-bit.
function Test-Is64BitProcess {
    return [Environment]::Is64BitProcess
}

# The argument string that starts this script again with the same -DiagnosticsOnly and
# -GamePath values, and -Unattended when this run is. A game path of only double quotes or
# blanks is no game path.
function Get-ScriptCopyArguments {
    param(
        [switch]$DiagnosticsOnly,
        [string]$GamePath = ''
    )
    $arguments = @('-NoLogo', '-NoProfile', '-ExecutionPolicy', 'Bypass', '-File', (ConvertTo-QuotedArgument -Value $PSCommandPath))
    if ($DiagnosticsOnly) {
        $arguments += '-DiagnosticsOnly'
    }
    $path = $GamePath -replace '"', ''
    if (-not [string]::IsNullOrWhiteSpace($path)) {
        # The elevated copy starts in the system folder: a relative path would name a
        # different file there, so it is made absolute against this copy's folder.
        if ($path -notmatch '^\s*([A-Za-z]:|[\\/])') {
            $path = Join-Path (Get-Location).ProviderPath $path
        }
        $arguments += '-GamePath'
        $arguments += ConvertTo-QuotedArgument -Value $path
    }
    if ($script:RunUnattended) {
        $arguments += '-Unattended'
    }
    return ($arguments -join ' ')
}

# Starts this script again through the elevation prompt with the same -DiagnosticsOnly
# and -GamePath values; does not wait. A declined prompt throws to the caller.
function Start-ElevatedCopy {
    param(
        [switch]$DiagnosticsOnly,
        [string]$GamePath = ''
    )
    $arguments = Get-ScriptCopyArguments -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath
    $powerShell = (Get-WindowsFolder) + '\System32\WindowsPowerShell\v1.0\powershell.exe'
    $null = Start-Process -FilePath $powerShell -ArgumentList $arguments -Verb RunAs
}

# The 32-bit Windows PowerShell on 64-bit Windows sees SysWOW64 as System32: DISM would
# refuse to service the system, the DLL checks would look at the 32-bit folder twice and an
# elevated copy would be 32-bit again. Runs this script in the 64-bit Windows PowerShell
# (reached through Sysnative) with the same parameters, waits for it and returns its exit
# code (1 when none can be read); returns $null when this process already fits the
# operating system.
function Invoke-NativePowerShellCopy {
    param(
        [switch]$DiagnosticsOnly,
        [string]$GamePath = ''
    )
    if ((Test-Is64BitProcess) -or -not (Test-Is64BitWindows)) {
        return $null
    }
    $arguments = Get-ScriptCopyArguments -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath
    $powerShell = (Get-WindowsFolder) + '\Sysnative\WindowsPowerShell\v1.0\powershell.exe'
    $process = Start-Process -FilePath $powerShell -ArgumentList $arguments -NoNewWindow -Wait -PassThru
    # Without an exit code nothing proves that the copy succeeded; [int]$null would read 0.
    if ($null -eq $process -or $null -eq $process.ExitCode) {
        return 1
    }
    return [int]$process.ExitCode
}

# Returns the Windows build record: Caption ("Windows" when the CIM query fails),
# DisplayVersion ("" when absent), Build (integer) and Architecture of the OS.
function Get-WindowsBuildInfo {
    $caption = 'Windows'
    try {
        $os = Get-CimInstance -ClassName Win32_OperatingSystem
        if ($null -ne $os -and -not [string]::IsNullOrWhiteSpace([string]$os.Caption)) {
            $caption = [string]$os.Caption
        }
    } catch {
        $caption = 'Windows'
    }

    $versionKey = Get-ItemProperty -Path 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
    $displayVersion = ''
    if ($null -ne $versionKey.PSObject.Properties['DisplayVersion']) {
        $displayVersion = [string]$versionKey.DisplayVersion
    }
    $architecture = '32-bit'
    if (Test-Is64BitWindows) {
        $architecture = '64-bit'
    }
    return [pscustomobject]@{
        Caption        = $caption
        DisplayVersion = $displayVersion
        Build          = [int]$versionKey.CurrentBuildNumber
        Architecture   = $architecture
    }
}
#endregion

#region Secured folders

# Every standard user may add files and folders below ProgramData and owns what they add. The
# folders this elevated script writes into, runs installers from and deletes in must therefore
# be private to administrators: a folder made here gets its owner and a protected DACL in the
# same call that creates it. A folder that is already there is used only when nobody but
# Administrators, SYSTEM or TrustedInstaller could ever have changed it. Anything else is never
# adopted: a link is removed as a link, and a folder that others could change, or a file where
# a folder belongs, is moved aside under a new name that nobody can guess in advance, with
# everything in it untouched, and a new folder takes its place. Files someone planted there
# therefore never reach the cache or the folder an installer runs from, and handles opened on
# the old folder keep pointing at the moved one. A folder that still cannot be made private
# (another user's process holds it open, or someone keeps re-creating it) does not stop the
# run: a fresh private folder with a random name beside it is used instead.
#
# Only Get-FolderItemSecurity and New-FolderWithSecurity touch Windows security. Security is
# passed as security descriptor text (owner, DACL flags and entries by SID), which also keeps
# "no DACL" (everyone full control) apart from "an empty DACL".

# The folder rule's constants.
$script:AdministratorsSid = 'S-1-5-32-544'
$script:SystemSid = 'S-1-5-18'
# NT SERVICE\TrustedInstaller: S-1-5-80 followed by the first five little-endian 32-bit words
# of the SHA-1 of the upper-case service name in UTF-16LE.
$script:TrustedInstallerSid = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
$script:UsersSid = 'S-1-5-32-545'
# Owners a secured folder may have, who are also the only ones allowed to change it.
$script:SecuredFolderOwners = @($script:AdministratorsSid, $script:SystemSid, $script:TrustedInstallerSid)
# The protected DACL of a secured folder, inherited by everything in it.
$script:SecuredFolderAccess = @(
    [pscustomobject]@{ Sid = $script:SystemSid; Rights = 0x1F01FF },          # full control
    [pscustomobject]@{ Sid = $script:AdministratorsSid; Rights = 0x1F01FF },  # full control
    [pscustomobject]@{ Sid = $script:UsersSid; Rights = 0x1200A9 }            # read and execute
)
# Access bits that let their holder change a folder or what is in it: write data / add file,
# append data / add subfolder, write extended attributes, delete child, write attributes,
# delete, write DAC, write owner, generic all, generic write (full control holds them all).
$script:FolderWriteRights = 0x500D0156
# How often a folder is replaced before giving up, and how many random names are tried for a
# fresh folder: only someone racing this script makes a fresh folder fail its check.
$script:SecuredFolderAttempts = 3
# A folder moved aside keeps its name with this mark, the time and 64 random bits:
# "Downloads.untrusted-20261208-143000-9f2c4e1a0b7d3c65".
$script:SetAsideMark = '.untrusted-'
# Said in the log and the report when a level is replaced by a fresh folder beside it
# ({0} the blocked folder, {1} why, {2} the folder used instead).
$script:FallbackFolderFormat = 'The folder {0} could not be secured ({1}); this run used {2} instead.'

# Security descriptor text of a secured folder: owner Administrators and the protected DACL
# above, each entry inherited by subfolders and files.
function Get-SecuredFolderSddl {
    $entries = foreach ($entry in $script:SecuredFolderAccess) {
        '(A;OICI;0x{0};;;{1})' -f ([long]$entry.Rights).ToString('x', [Globalization.CultureInfo]::InvariantCulture), $entry.Sid
    }
    return ('O:{0}D:P{1}' -f $script:AdministratorsSid, ($entries -join ''))
}

# The attributes of the item at Path without following a link there, or $null when nothing
# is there.
function Get-FolderItemAttributes {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        return [System.IO.File]::GetAttributes($Path)
    } catch [System.IO.FileNotFoundException], [System.IO.DirectoryNotFoundException] {
        return $null
    }
}

# True when the attributes mark a reparse point: a junction, mount point or symbolic link.
function Test-IsLinkAttribute {
    param([Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes)
    return (($Attributes -band [System.IO.FileAttributes]::ReparsePoint) -ne 0)
}

# Removes a junction, mount point or symbolic link itself; what it points to is not touched.
function Remove-FolderLink {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    if (($Attributes -band [System.IO.FileAttributes]::Directory) -ne 0) {
        # Removing a directory link without recursion deletes the link, never the target's files.
        [System.IO.Directory]::Delete($Path)
    } else {
        [System.IO.File]::Delete($Path)
    }
}

# Reads the owner and every access rule (own and inherited) of a file or folder: Owner as a
# SID string, Access as entries with Sid, Rights (the access mask) and Allow. Windows only.
function Get-FolderItemSecurity {
    param([Parameter(Mandatory = $true)][string]$Path)
    $sidType = [System.Security.Principal.SecurityIdentifier]
    $security = Get-Acl -LiteralPath $Path
    $owner = $security.GetOwner($sidType)
    $ownerSid = ''
    if ($null -ne $owner) {
        $ownerSid = $owner.Value
    }
    $access = @()
    foreach ($rule in $security.GetAccessRules($true, $true, $sidType)) {
        $access += [pscustomobject]@{
            Sid    = $rule.IdentityReference.Value
            Rights = [long][int]$rule.FileSystemRights
            Allow  = ($rule.AccessControlType -eq [System.Security.AccessControl.AccessControlType]::Allow)
        }
    }
    return [pscustomobject]@{ Owner = $ownerSid; Access = $access }
}

# Creates one folder with the given security descriptor applied by the creating call itself.
# A folder that already exists is left as it is; the caller checks it afterwards. Windows
# PowerShell 5.1 (.NET Framework) has Directory.CreateDirectory(path, security); PowerShell 7
# has FileSystemAclExtensions.Create(DirectoryInfo, security) instead. Windows only.
function New-FolderWithSecurity {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Sddl
    )
    $security = New-Object System.Security.AccessControl.DirectorySecurity
    $security.SetSecurityDescriptorSddlForm($Sddl)
    $securityType = [System.Security.AccessControl.DirectorySecurity]
    $frameworkCreate = [System.IO.Directory].GetMethod('CreateDirectory', [type[]]@([string], $securityType))
    if ($null -ne $frameworkCreate) {
        $null = [System.IO.Directory]::CreateDirectory($Path, $security)
        return
    }
    $extensions = 'System.IO.FileSystemAclExtensions' -as [type]
    $null = $extensions::Create((New-Object System.IO.DirectoryInfo $Path), $security)
}

# 16 lower-case hexadecimal digits from 64 bits of the system's cryptographic random number
# generator: a name tail that nobody can take in advance.
function Get-RandomHexTail {
    $bytes = New-Object byte[] 8
    $generator = [System.Security.Cryptography.RandomNumberGenerator]::Create()
    try {
        $generator.GetBytes($bytes)
    } finally {
        $generator.Dispose()
    }
    return (($bytes | ForEach-Object { $_.ToString('x2', [Globalization.CultureInfo]::InvariantCulture) }) -join '')
}

# Says why the item at Path is not a secured folder, or returns "" when it is one: a real
# folder (no link), owned by Administrators, SYSTEM or TrustedInstaller, on which nobody else
# is allowed any kind of write access.
function Get-FolderSafetyProblem {
    param([Parameter(Mandatory = $true)][string]$Path)
    $attributes = Get-FolderItemAttributes -Path $Path
    if ($null -eq $attributes) {
        return 'it does not exist'
    }
    if (Test-IsLinkAttribute -Attributes $attributes) {
        return 'it is a link'
    }
    if (($attributes -band [System.IO.FileAttributes]::Directory) -eq 0) {
        return 'a file of that name is in the way'
    }
    try {
        $security = Get-FolderItemSecurity -Path $Path
    } catch {
        # Permissions that shut administrators out cannot be judged, so the folder is not trusted.
        return ('its permissions cannot be read: {0}' -f $_.Exception.Message)
    }
    if ($script:SecuredFolderOwners -notcontains $security.Owner) {
        return ('it is owned by {0}' -f $security.Owner)
    }
    foreach ($entry in @($security.Access)) {
        if ($entry.Allow -and $script:SecuredFolderOwners -notcontains $entry.Sid -and ([long]$entry.Rights -band $script:FolderWriteRights) -ne 0) {
            return ('{0} may change it' -f $entry.Sid)
        }
    }
    return ''
}

# The name beside Path for setting aside what is there: its name, the mark, the local time
# and a random tail ("Downloads.untrusted-20261208-143000-9f2c4e1a0b7d3c65"), which nobody
# can have taken in advance.
function Get-SetAsidePath {
    param([Parameter(Mandatory = $true)][string]$Path)
    $stamp = (Get-Date).ToString('yyyyMMdd-HHmmss', [Globalization.CultureInfo]::InvariantCulture)
    return ('{0}{1}{2}-{3}' -f $Path, $script:SetAsideMark, $stamp, (Get-RandomHexTail))
}

# Renames a folder, or a file standing where a folder belongs, within its parent, without
# replacing anything at the new name. Nothing in it is opened, changed or followed.
function Move-FolderAside {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    if ([System.IO.Directory]::Exists($Path)) {
        [System.IO.Directory]::Move($Path, $Destination)
    } else {
        [System.IO.File]::Move($Path, $Destination)
    }
}

# Creates a folder that did not exist before, named Stem, a dot and a random tail
# ("Downloads\Install.9f2c4e1a0b7d3c65"), its protection given by the creating call, and
# returns its path. Nobody can have prepared that name; a name taken all the same, or a
# folder that is not private once made, is passed over for a new name. Throws when no
# attempt gives a private folder.
function New-PrivateFolder {
    param([Parameter(Mandatory = $true)][string]$Stem)
    $problem = ''
    for ($attempt = 1; $attempt -le $script:SecuredFolderAttempts; $attempt++) {
        $candidate = '{0}.{1}' -f $Stem, (Get-RandomHexTail)
        try {
            if ($null -ne (Get-FolderItemAttributes -Path $candidate)) {
                $problem = ('{0} already exists' -f $candidate)
                continue
            }
            New-FolderWithSecurity -Path $candidate -Sddl (Get-SecuredFolderSddl)
            $problem = Get-FolderSafetyProblem -Path $candidate
            if ($problem -eq '') {
                return $candidate
            }
        } catch {
            $problem = $_.Exception.Message
        }
    }
    throw ('no private folder could be made beside it: {0}' -f $problem)
}

# The result of Initialize-SecuredFolder: the folder to use, how it was found ("Created",
# "Verified", "Replaced" or "Fallback"), the log lines about what was set aside or removed
# (Notes) and, for a fallback, the warning that names the blocked folder ("" otherwise).
function New-SecuredFolderResult {
    param([string]$Path, [string]$Outcome, $Notes, [string]$Warning = '')
    return [pscustomobject]@{ Path = $Path; Outcome = $Outcome; Notes = $Notes.ToArray(); Warning = $Warning }
}

# Makes Path a folder that only administrators (and the system) can change, its parent being
# secured already. A missing folder is created with its protection; a link there is removed
# as a link; a folder that others could have changed, or a file in the way, is set aside (see
# Get-SetAsidePath) and a new folder created. When Path is still not private after its
# rounds, or setting aside fails (another user's process holds the folder open), a fresh
# private folder beside it (New-PrivateFolder) is returned instead, with a warning saying
# which folder was blocked and why. Throws "The folder {0} could not be secured: {1}" only
# when not even that fresh folder can be made.
function Initialize-SecuredFolder {
    param([Parameter(Mandatory = $true)][string]$Path)
    $outcome = 'Verified'
    $notes = New-Object System.Collections.Generic.List[string]
    $problem = ''
    try {
        for ($attempt = 1; $attempt -le $script:SecuredFolderAttempts; $attempt++) {
            $attributes = Get-FolderItemAttributes -Path $Path
            if ($null -ne $attributes -and (Test-IsLinkAttribute -Attributes $attributes)) {
                Remove-FolderLink -Path $Path -Attributes $attributes
                $notes.Add(('Removed the link at {0}; a new private folder takes its place.' -f $Path))
                $attributes = $null
            }
            if ($null -eq $attributes) {
                New-FolderWithSecurity -Path $Path -Sddl (Get-SecuredFolderSddl)
                $outcome = 'Created'
            }
            $problem = Get-FolderSafetyProblem -Path $Path
            if ($problem -eq '') {
                if ($notes.Count -gt 0) {
                    $outcome = 'Replaced'
                }
                return New-SecuredFolderResult -Path $Path -Outcome $outcome -Notes $notes
            }
            if ($problem -eq 'it does not exist' -or $problem -eq 'it is a link') {
                # Someone is racing this script; the next round starts over.
                continue
            }
            if ($attempt -eq $script:SecuredFolderAttempts) {
                # Give up without piling up one more set-aside copy.
                break
            }
            $aside = Get-SetAsidePath -Path $Path
            Move-FolderAside -Path $Path -Destination $aside
            $notes.Add(('Set aside {0} as {1} because {2}; a new private folder takes its place.' -f $Path, $aside, $problem))
        }
        $problem = ('it was still not private after {0} attempts: {1}' -f $script:SecuredFolderAttempts, $problem)
    } catch {
        $problem = $_.Exception.Message
    }
    try {
        $fallback = New-PrivateFolder -Stem $Path
    } catch {
        throw ('The folder {0} could not be secured: {1}; {2}' -f $Path, $problem, $_.Exception.Message)
    }
    $warning = $script:FallbackFolderFormat -f $Path, $problem, $fallback
    return New-SecuredFolderResult -Path $fallback -Outcome 'Fallback' -Notes $notes -Warning $warning
}

# Creates a file holding Bytes (none by default) that cannot have existed before under that
# name, so that nobody else's leftover, or a link to another file, is ever written through:
# a leftover file is deleted first and a link removed as a link (what it points to is never
# touched). A folder of that name stays, and the creation then fails; so does CreateNew when
# anything appears at the path in between.
function New-FreshFile {
    param([Parameter(Mandatory = $true)][string]$Path, [byte[]]$Bytes = @())
    $attributes = Get-FolderItemAttributes -Path $Path
    if ($null -ne $attributes) {
        if (Test-IsLinkAttribute -Attributes $attributes) {
            Remove-FolderLink -Path $Path -Attributes $attributes
        } elseif (($attributes -band [System.IO.FileAttributes]::Directory) -eq 0) {
            Remove-FileQuietly -Path $Path
        }
    }
    $stream = New-Object System.IO.FileStream($Path, [System.IO.FileMode]::CreateNew, [System.IO.FileAccess]::Write, [System.IO.FileShare]::None)
    try {
        $stream.Write($Bytes, 0, $Bytes.Length)
    } finally {
        $stream.Dispose()
    }
}
#endregion

#region Work and log folders

# The folders under ProgramData, "ORVELLE\Game Support". The launcher is built with these
# two lines (it makes and secures the same folders, and its bootstrap folder inside them,
# before this script starts).
$script:VendorFolderName = 'ORVELLE'
$script:ProductFolderName = 'Game Support'

# The full path of this script file.
function Get-ScriptFilePath {
    return $PSCommandPath
}

# The product folder that the launcher secured for this run, when it had to use a fresh
# folder for the vendor or product level ("ORVELLE.<16 hex>" or "Game Support.<16 hex>") and
# wrote this script there: "<ProgramData>\<vendor>\<product>\<bootstrap>\<script>". Taken
# only when both levels are private now; "" otherwise (a run by hand, the usual names, or a
# folder that is not private), and the usual folders are used.
function Get-LauncherProductFolder {
    param([AllowEmptyString()][string]$ScriptPath, [Parameter(Mandatory = $true)][string]$ProgramData)
    $tail = '(\.[0-9a-fA-F]{16})?$'
    $product = ''
    $vendor = ''
    try {
        $product = [System.IO.Path]::GetDirectoryName([System.IO.Path]::GetDirectoryName($ScriptPath))
        $vendor = [System.IO.Path]::GetDirectoryName($product)
        $parent = [System.IO.Path]::GetDirectoryName($vendor)
    } catch {
        return ''
    }
    if ([string]::IsNullOrEmpty($parent) -or
        -not [string]::Equals($parent.TrimEnd('\', '/'), $ProgramData.TrimEnd('\', '/'), [StringComparison]::OrdinalIgnoreCase) -or
        [System.IO.Path]::GetFileName($vendor) -notmatch ('^' + [regex]::Escape($script:VendorFolderName) + $tail) -or
        [System.IO.Path]::GetFileName($product) -notmatch ('^' + [regex]::Escape($script:ProductFolderName) + $tail)) {
        return ''
    }
    if ((Get-FolderSafetyProblem -Path $vendor) -ne '' -or (Get-FolderSafetyProblem -Path $product) -ne '') {
        return ''
    }
    return $product
}

# Sets WorkDir and LogPath, makes "ORVELLE" and "ORVELLE\Game Support" under ProgramData (or
# the launcher's fresh folders for them, see Get-LauncherProductFolder) and the work folder
# "Downloads" and the log folder "Logs" in it private to administrators (parents first, so
# nothing can be slipped into a folder between its check and its use; a level replaced by a
# fresh folder holds the levels below it), then creates a fresh, empty log file named after
# the start time and logs every folder it set aside, every link it removed and every level it
# had to replace. A level that cannot be secured at all throws before anything is written.
function Initialize-SetupFolders {
    $programData = $env:ProgramData
    $vendorDir = Join-Path $programData $script:VendorFolderName
    $productName = $script:ProductFolderName
    $launcherProduct = Get-LauncherProductFolder -ScriptPath (Get-ScriptFilePath) -ProgramData $programData
    if ($launcherProduct -ne '') {
        $vendorDir = Split-Path -Parent $launcherProduct
        $productName = Split-Path -Leaf $launcherProduct
    }
    $vendor = Initialize-SecuredFolder -Path $vendorDir
    $product = Initialize-SecuredFolder -Path (Join-Path $vendor.Path $productName)
    $work = Initialize-SecuredFolder -Path (Join-Path $product.Path 'Downloads')
    $logs = Initialize-SecuredFolder -Path (Join-Path $product.Path 'Logs')
    $script:WorkDir = $work.Path
    $script:ProductDir = $product.Path
    $logFile = Join-Path $logs.Path ('Setup-{0}.log' -f (Get-Date).ToString('yyyyMMdd-HHmmss'))
    $script:LogPath = $logFile
    New-FreshFile -Path $logFile
    foreach ($folder in @($vendor, $product, $work, $logs)) {
        Write-SecuredFolderNotes -Folder $folder
    }
}

# Logs what Initialize-SecuredFolder set aside or removed for one folder, as warnings, and
# records a level replaced by a fresh folder as a warning of the run (log and report).
function Write-SecuredFolderNotes {
    param([Parameter(Mandatory = $true)]$Folder)
    foreach ($note in @($Folder.Notes)) {
        Write-Log -Message $note -Level WARN
    }
    if ($Folder.Warning -ne '') {
        Add-Warning -Message $Folder.Warning
    }
}
#endregion

#region Checked process runner

# Installer exit codes that mean "done, but Windows must restart": 3010 restart required,
# 1641 restart already started. They set RestartRequired wherever they occur.
$script:RestartExitCodes = @(3010, 1641)

# Deletes a file when one is there. A link at the path is removed itself, even when its
# target is missing, so that nothing written to the path afterwards lands elsewhere.
# Never throws: a file that cannot be deleted is left for the next step to overwrite or
# to re-check.
function Remove-FileQuietly {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        [System.IO.File]::Delete($Path)
    } catch {
        try {
            # File.Delete refuses read-only files; Remove-Item -Force does not.
            if (Test-Path -LiteralPath $Path -PathType Leaf) {
                Remove-Item -LiteralPath $Path -Force -ErrorAction Stop
            }
        } catch {
            # Deleting is best effort; the caller does not depend on it.
        }
    }
}

# Returns the label with every character other than A-Z, a-z, 0-9, "_" and "-" replaced
# by "_", so that it can name a file. Case-sensitive on purpose: a case-insensitive match
# would let characters such as the Kelvin sign pass as letters.
function ConvertTo-SafeLabel {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Label)
    return ($Label -creplace '[^A-Za-z0-9_-]', '_')
}

# Appends a capture file's text to the log as one block when it holds more than white
# space. Never throws: a missing capture or log file must not fail the run.
function Add-CapturedOutputToLog {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        if (-not (Test-Path -LiteralPath $Path -PathType Leaf)) {
            return
        }
        $text = Get-Content -LiteralPath $Path -Raw
        if (-not [string]::IsNullOrWhiteSpace($text)) {
            Add-LogText -Text ($text + "`r`n")
        }
    } catch {
        # The captured output is only a help for support; losing it is not an error.
    }
}

# How long a program may run before the runner ends it, in minutes, and how often the
# runner looks at it while it runs, in milliseconds.
$script:ProcessTimeLimitMinutes = 30
$script:ProcessWatchSliceMilliseconds = 1000

# The current time for the runner's waits (UTC, so that a clock change does not stretch them).
function Get-WatchTime {
    return [DateTime]::UtcNow
}

# Waits one slice: until the process ends, at most one slice, or one slice when there is no
# running process to wait on.
function Wait-WatchSlice {
    param($Process = $null)
    if ($null -ne $Process -and -not $Process.HasExited) {
        $null = $Process.WaitForExit($script:ProcessWatchSliceMilliseconds)
        return
    }
    Start-Sleep -Milliseconds $script:ProcessWatchSliceMilliseconds
}

# Every running process as ProcessId, ParentProcessId and CreationDate (MinValue when
# Windows gives none). Never throws: when the list cannot be read, the answer is empty and
# only the started program itself is waited for.
function Get-ProcessTable {
    try {
        return @(Get-CimInstance -ClassName Win32_Process -ErrorAction Stop | Where-Object { $null -ne $_ } | ForEach-Object {
                $created = [datetime]::MinValue
                if ($_.CreationDate -is [datetime]) { $created = $_.CreationDate }
                [pscustomobject]@{ ProcessId = [int]$_.ProcessId; ParentProcessId = [int]$_.ParentProcessId; CreationDate = $created } })
    } catch {
        return @()
    }
}

# Updates Tree (process id -> creation time, starting with the started program's id) with
# the running processes started by a member, then drops the members that no longer run, and
# returns how many of the started program's descendants still run. A process counts as a
# child only when it was created after its parent, and a member whose id now belongs to a
# later process leaves the tree, so a reused process id never pulls in (or lets the runner
# end) an unrelated program. A child whose parent ended since the last look is still found.
function Update-ProcessTree {
    param(
        [Parameter(Mandatory = $true)][System.Collections.Generic.Dictionary[int, datetime]]$Tree,
        [Parameter(Mandatory = $true)][int]$RootId
    )
    $table = @(Get-ProcessTable)
    $running = New-Object 'System.Collections.Generic.Dictionary[int, datetime]'
    foreach ($entry in $table) { $running[$entry.ProcessId] = $entry.CreationDate }
    $added = $true
    while ($added) {
        $added = $false
        foreach ($entry in $table) {
            $parent = $entry.ParentProcessId
            if ($entry.ProcessId -ne $RootId -and -not $Tree.ContainsKey($entry.ProcessId) -and $Tree.ContainsKey($parent) -and
                $entry.CreationDate -ge $Tree[$parent] -and ($parent -eq $RootId -or -not $running.ContainsKey($parent) -or $running[$parent] -eq $Tree[$parent])) {
                $Tree[$entry.ProcessId] = $entry.CreationDate
                $added = $true
            }
        }
    }
    foreach ($id in @($Tree.Keys)) {
        if ($id -ne $RootId -and -not ($running.ContainsKey($id) -and $running[$id] -eq $Tree[$id])) {
            [void]$Tree.Remove($id)
        }
    }
    return ($Tree.Count - 1)
}

# Ends the given processes, the started program first. Never throws: a process that ended
# by itself in the meantime is no error.
function Stop-ProcessTree {
    param([Parameter(Mandatory = $true)][int[]]$ProcessIds)
    foreach ($id in $ProcessIds) {
        try {
            Stop-Process -Id $id -Force -ErrorAction Stop
        } catch {
            # Already gone.
        }
    }
}

# Waits until the started program and every process it started have ended. Each full
# minute after the first, "Still waiting for <label> (<n> min)" goes to the console and the
# log. At the limit the whole tree is ended and "<label> did not finish within <n> minutes."
# is thrown as a failure of kind TimeLimit.
function Wait-ProcessTree {
    param(
        [Parameter(Mandatory = $true)]$Process,
        [Parameter(Mandatory = $true)][string]$Label,
        [Parameter(Mandatory = $true)][int]$TimeLimitMinutes
    )
    $rootId = [int]$Process.Id
    # The runner holds the program's handle, so its id cannot pass to another process.
    $tree = New-Object 'System.Collections.Generic.Dictionary[int, datetime]'
    $tree[$rootId] = [datetime]::MinValue
    $started = Get-WatchTime
    $minutesShown = 0
    while ($true) {
        $descendants = Update-ProcessTree -Tree $tree -RootId $rootId
        if ($Process.HasExited -and $descendants -eq 0) {
            return
        }
        $minutes = [int][Math]::Floor(((Get-WatchTime) - $started).TotalMinutes)
        if ($minutes -ge $TimeLimitMinutes) {
            Stop-ProcessTree -ProcessIds @($tree.Keys)
            throw (New-RunFailure -Message ('{0} did not finish within {1} minutes.' -f $Label, $TimeLimitMinutes) -Kind TimeLimit)
        }
        if ($minutes -gt $minutesShown) {
            $minutesShown = $minutes
            Write-Log -Message ('Still waiting for {0} ({1} min)' -f $Label, $minutes) -Level INFO
        }
        Wait-WatchSlice -Process $Process
    }
}

# Runs a program hidden, waits for it and everything it starts (at most TimeLimitMinutes,
# see Wait-ProcessTree), copies what it printed into the log and judges its exit code:
# returns the code when it is in SuccessCodes, throws "<label> failed with exit code
# <code>." otherwise. 3010 and 1641 set RestartRequired even when the caller does not count
# them as success. A program that cannot be started throws its own start error.
function Invoke-ProcessChecked {
    param(
        [Parameter(Mandatory = $true)][string]$FilePath,
        [Parameter(Mandatory = $true)][string]$Arguments,
        [int[]]$SuccessCodes = @(0, 3010, 1641),
        [string]$Label = 'Process',
        [int]$TimeLimitMinutes = $script:ProcessTimeLimitMinutes
    )
    $safeLabel = ConvertTo-SafeLabel -Label $Label
    $stdoutPath = Join-Path $script:WorkDir ('{0}-stdout.txt' -f $safeLabel)
    $stderrPath = Join-Path $script:WorkDir ('{0}-stderr.txt' -f $safeLabel)
    Remove-FileQuietly -Path $stdoutPath
    Remove-FileQuietly -Path $stderrPath

    Write-Log -Message ('Running {0}: {1} {2}' -f $Label, $FilePath, $Arguments) -Level INFO
    $process = Start-Process -FilePath $FilePath -ArgumentList $Arguments -WindowStyle Hidden `
        -RedirectStandardOutput $stdoutPath -RedirectStandardError $stderrPath -PassThru
    if ($null -ne $process) {
        try {
            # Windows PowerShell reports no exit code for a process whose handle was never
            # opened while it ran.
            $null = $process.Handle
        } catch {
            # A process that already ended keeps its exit code anyway.
        }
    }
    try {
        if ($null -ne $process) {
            Wait-ProcessTree -Process $process -Label $Label -TimeLimitMinutes $TimeLimitMinutes
        }
    } finally {
        Add-CapturedOutputToLog -Path $stdoutPath
        Add-CapturedOutputToLog -Path $stderrPath
    }

    # Without an exit code nothing proves that the program succeeded; [int]$null would read 0.
    if ($null -eq $process -or $null -eq $process.ExitCode) {
        throw (New-RunFailure -Message ('{0} failed: no exit code was reported.' -f $Label) -Kind NoExitCode)
    }
    $exitCode = [int]$process.ExitCode
    if ($script:RestartExitCodes -contains $exitCode) {
        $script:RestartRequired = $true
    }
    if ($SuccessCodes -notcontains $exitCode) {
        throw (New-RunFailure -Message ('{0} failed with exit code {1}.' -f $Label, $exitCode) -Kind ExitCode -ExitCode $exitCode)
    }
    Add-RunRecordEntry -Outcome Completed -Item $Label -ExitCode $exitCode
    Write-Log -Message ('{0} completed (exit code {1}).' -f $Label, $exitCode) -Level OK
    return $exitCode
}
#endregion

#region Windows Installer's turn

# Windows Installer runs one installation at a time and holds this mutex meanwhile; a
# package started then ends with 1618. Packages built on it wait for their turn first.
$script:WindowsInstallerMutexName = 'Global\_MSIExecute'
$script:WindowsInstallerBusyExitCode = 1618
$script:WindowsInstallerWaitMinutes = 10

# True when another process holds Windows Installer's mutex. Never throws: a mutex that
# cannot be opened or looked at counts as free, and the package's own exit code tells.
function Test-WindowsInstallerBusy {
    $mutex = $null
    try {
        if (-not [System.Threading.Mutex]::TryOpenExisting($script:WindowsInstallerMutexName, [ref]$mutex)) {
            return $false
        }
        if ($mutex.WaitOne(0)) {
            $mutex.ReleaseMutex()
            return $false
        }
        return $true
    } catch [System.Threading.AbandonedMutexException] {
        # Its owner ended without releasing it; this process holds it now.
        $mutex.ReleaseMutex()
        return $false
    } catch {
        return $false
    } finally {
        if ($null -ne $mutex) { $mutex.Dispose() }
    }
}

# Waits while Windows Installer is busy, at most WindowsInstallerWaitMinutes, with a console
# and log line each full minute: "Waiting for another installation to finish (<n> min)".
# Returns when it is free or the time is up; the package then runs either way.
function Wait-WindowsInstallerTurn {
    $started = Get-WatchTime
    $minutesShown = 0
    while (Test-WindowsInstallerBusy) {
        $minutes = [int][Math]::Floor(((Get-WatchTime) - $started).TotalMinutes)
        if ($minutes -ge $script:WindowsInstallerWaitMinutes) {
            Write-Log -Message ('Windows Installer is still busy after {0} minutes; trying anyway.' -f $minutes) -Level WARN
            return
        }
        if ($minutes -gt $minutesShown) {
            $minutesShown = $minutes
            Write-Log -Message ('Waiting for another installation to finish ({0} min)' -f $minutes) -Level INFO
        }
        Wait-WatchSlice
    }
}

# Runs a package built on Windows Installer through the checked runner once Windows
# Installer is free. A package that ends with 1618 gets one more turn after another wait;
# when it ends with 1618 again, "<label> could not run: Windows Installer is busy with another
# installation (exit code 1618)." is thrown as a failure of kind InstallerBusy.
function Invoke-WindowsInstallerPackage {
    param(
        [Parameter(Mandatory = $true)][string]$FilePath,
        [Parameter(Mandatory = $true)][string]$Arguments,
        [Parameter(Mandatory = $true)][int[]]$SuccessCodes,
        [Parameter(Mandatory = $true)][string]$Label
    )
    for ($turn = 1; $turn -le 2; $turn++) {
        Wait-WindowsInstallerTurn
        try {
            return (Invoke-ProcessChecked -FilePath $FilePath -Arguments $Arguments -SuccessCodes $SuccessCodes -Label $Label)
        } catch {
            if ((Get-RunFailureDetail -Cause $_).ExitCode -ne $script:WindowsInstallerBusyExitCode) {
                throw
            }
            Write-Log -Message ('{0} found Windows Installer busy (exit code {1}).' -f $Label, $script:WindowsInstallerBusyExitCode) -Level WARN
        }
    }
    throw (New-RunFailure -Message ('{0} could not run: Windows Installer is busy with another installation (exit code {1}).' -f $Label, $script:WindowsInstallerBusyExitCode) -Kind InstallerBusy -ExitCode $script:WindowsInstallerBusyExitCode)
}
#endregion

#region Verified Microsoft download

# The only hosts installers are fetched from, compared exactly (no sub-domains): the
# short-link host, the forwarding-link host, the Download Center and the Visual Studio
# download host.
$script:AllowedDownloadHosts = @('aka.ms', 'go.microsoft.com', 'download.microsoft.com', 'download.visualstudio.microsoft.com')
# Organisation (O=) that the signer certificate's subject must name.
$script:TrustedSignerOrganization = 'Microsoft Corporation'
$script:DownloadAttempts = 3
$script:BitsTransferDescription = 'ORVELLE prerequisite'

# Splits a certificate subject such as 'CN=Microsoft Corporation, O="Contoso, Ltd.", C=US'
# into fields with Type and Value. Fields end at ",", ";" or "+"; inside double quotes
# these are part of the value and "" or \" stand for a quote; outside quotes a backslash
# takes the next character literally. Returns no fields when a quote is left open, so a
# malformed subject never passes for a valid one.
function ConvertFrom-DistinguishedName {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Name)
    $fields = New-Object System.Collections.Generic.List[object]
    $type = New-Object System.Text.StringBuilder
    $value = New-Object System.Text.StringBuilder
    $inValue = $false
    $inQuotes = $false
    $wasQuoted = $false
    $last = $Name.Length - 1
    for ($index = 0; $index -le $last; $index++) {
        $char = $Name[$index]
        if ($inQuotes) {
            if ($char -eq '"' -and $index -lt $last -and $Name[$index + 1] -eq '"') {
                [void]$value.Append('"')
                $index++
            } elseif ($char -eq '\' -and $index -lt $last) {
                [void]$value.Append($Name[$index + 1])
                $index++
            } elseif ($char -eq '"') {
                $inQuotes = $false
            } else {
                [void]$value.Append($char)
            }
            continue
        }
        if ($char -eq ',' -or $char -eq ';' -or $char -eq '+') {
            if ($inValue) {
                $fields.Add((New-DistinguishedNameField -Type $type -Value $value -WasQuoted $wasQuoted))
            }
            [void]$type.Clear()
            [void]$value.Clear()
            $inValue = $false
            $wasQuoted = $false
            continue
        }
        $target = $type
        if ($inValue) {
            $target = $value
        }
        if ($char -eq '\' -and $index -lt $last) {
            [void]$target.Append($Name[$index + 1])
            $index++
        } elseif (-not $inValue -and $char -eq '=') {
            $inValue = $true
        } elseif ($inValue -and -not $wasQuoted -and $char -eq '"' -and $value.ToString().Trim().Length -eq 0) {
            [void]$value.Clear()
            $inQuotes = $true
            $wasQuoted = $true
        } elseif ($wasQuoted -and [char]::IsWhiteSpace($char)) {
            # White space between a closing quote and the next separator.
        } else {
            [void]$target.Append($char)
        }
    }
    if ($inQuotes) {
        return
    }
    if ($inValue) {
        $fields.Add((New-DistinguishedNameField -Type $type -Value $value -WasQuoted $wasQuoted))
    }
    return $fields.ToArray()
}

# One field of a distinguished name; unquoted values lose their surrounding white space.
function New-DistinguishedNameField {
    param($Type, $Value, [bool]$WasQuoted)
    $text = $Value.ToString()
    if (-not $WasQuoted) {
        $text = $text.Trim()
    }
    return [pscustomobject]@{ Type = $Type.ToString().Trim(); Value = $text }
}

# True when the certificate subject names Microsoft Corporation as its organisation: at
# least one O= field, and every O= field equal to it as a whole, letter case ignored.
# "O=Microsoft Corporation Holdings" or "CN=Microsoft Corporation, O=Contoso" do not count.
function Test-MicrosoftSignerSubject {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Subject)
    $organizations = @(ConvertFrom-DistinguishedName -Name $Subject | Where-Object { $_.Type -eq 'O' })
    if ($organizations.Count -eq 0) {
        return $false
    }
    foreach ($organization in $organizations) {
        if (-not [string]::Equals($organization.Value, $script:TrustedSignerOrganization, [StringComparison]::OrdinalIgnoreCase)) {
            return $false
        }
    }
    return $true
}

# The published SHA-256 of each fixed-version file, by download label. Microsoft replaced
# the 2005, 2008 and 2010 packages behind the same links in May 2021 and re-signed the
# DirectX package in February 2021, so a signed file with another hash is still used, but
# the log and the report say so. The moving links (v14, .NET Framework 3.5) are not listed.
# Sources: the winget-pkgs manifests Microsoft.VCRedist.2005.x86 8.0.61001,
# Microsoft.VCRedist.2008.x86 9.0.30729.6161, Microsoft.VCRedist.2010.x86 10.0.40219,
# Microsoft.VCRedist.2012.x86 11.0.61030.0 and Microsoft.VCRedist.2013.x86 12.0.40664.0
# (manifests/m/Microsoft/VCRedist/<year>/x86/<version>/...installer.yaml); for DirectX the
# public install scripts that pin both builds of directx_Jun2010_redist.exe (the re-signed
# build served now) and winetricks' directx_Jun2010 helper and the Chocolatey "directx"
# package script (the original 2010 build).
$script:KnownBuilds = @{
    'Visual C++ 2005 SP1 x86'               = @('8648C5FC29C44B9112FE52F9A33F80E7FC42D10F3B5B42B2121542A13E44ADFD')
    'Visual C++ 2008 SP1 x86'               = @('8742BCBF24EF328A72D2A27B693CC7071E38D3BB4B9B44DEC42AA3D2C8D61D92')
    'Visual C++ 2010 SP1 x86'               = @('99DCE3C841CC6028560830F7866C9CE2928C98CF3256892EF8E6CF755147B0D8')
    'Visual C++ 2012 Update 4 x86'          = @('B924AD8062EAF4E70437C8BE50FA612162795FF0839479546CE907FFA8D6E386')
    'Visual C++ 2013 x86'                   = @('53B605D1100AB0A88B867447BBF9274B5938125024BA01F5105A9E178A3DCDBD')
    'DirectX End-User Runtimes (June 2010)' = @('053F76DCBB28802E23341B6A787E3B0791C0FA5C8D4D011B1044172DBF89C73B', '8746EE1A84A083A90E37899D71D50D5C7C015E69688A466AA80447F011780C0D')
}
# Verified files of this run whose hash is not in the table: Label and Hash.
$script:UnknownBuilds = New-Object System.Collections.Generic.List[object]
$script:UnknownBuildFormat = '{0} is signed by Microsoft but is not a known build (SHA-256 {1}); it is used anyway.'

# The SHA-256 of a file's bytes in upper-case hexadecimal. Throws when the file cannot be read.
function Get-FileSha256 {
    param([Parameter(Mandatory = $true)][string]$Path)
    return (Get-FileHash -LiteralPath $Path -Algorithm SHA256 -ErrorAction Stop).Hash.ToUpperInvariant()
}

# For a verified file of a fixed-version package: when its hash is not a known build of the
# label, logs the WARN line and keeps Label and Hash in UnknownBuilds. Other labels pass.
function Confirm-KnownBuild {
    param(
        [Parameter(Mandatory = $true)][string]$Label,
        [Parameter(Mandatory = $true)][string]$Path
    )
    if (-not $script:KnownBuilds.ContainsKey($Label)) {
        return
    }
    $hash = Get-FileSha256 -Path $Path
    if ($script:KnownBuilds[$Label] -contains $hash) {
        return
    }
    Write-Log -Message ($script:UnknownBuildFormat -f $Label, $hash) -Level WARN
    $script:UnknownBuilds.Add([pscustomobject]@{ Label = $Label; Hash = $hash })
}

# Returns true when the file itself carries a valid Authenticode signature whose signer is
# Microsoft Corporation, after logging the file's SHA-256; throws the security message
# otherwise. A file that is valid only through a Windows catalog is refused: any Windows
# file copied under an installer's name would pass otherwise.
function Test-MicrosoftSignature {
    param([Parameter(Mandatory = $true)][string]$Path)
    $leafName = Split-Path -Path $Path -Leaf
    $signature = Get-AuthenticodeSignature -LiteralPath $Path
    $status = [string]$signature.Status
    $signatureType = ''
    if ($null -ne $signature.PSObject.Properties['SignatureType']) {
        $signatureType = [string]$signature.SignatureType
    }
    $publisher = ''
    if ($null -ne $signature.SignerCertificate) {
        $publisher = [string]$signature.SignerCertificate.Subject
    }
    if ($status -ne 'Valid' -or $signatureType -ne 'Authenticode' -or -not (Test-MicrosoftSignerSubject -Subject $publisher)) {
        throw ('Security check failed for {0}. Signature status: {1}; publisher: {2}' -f $leafName, $status, $publisher)
    }
    $hash = Get-FileSha256 -Path $Path
    Write-Log -Message ('Verified Microsoft signature and SHA-256 for {0}: {1}' -f $leafName, $hash) -Level OK
    return $true
}

# Throws unless the URL can be read, its real host (user information such as
# "download.microsoft.com@" does not count) is one of the allowed Microsoft hosts, and it is
# a plain HTTPS address: the https scheme, the default port and no user information.
function Assert-MicrosoftDownloadHost {
    param([Parameter(Mandatory = $true)][string]$Url)
    $uri = $null
    if (-not [System.Uri]::TryCreate($Url, [System.UriKind]::Absolute, [ref]$uri)) {
        throw ('Blocked download from an unreadable URL: {0}' -f $Url)
    }
    $downloadHost = $uri.Host.ToLowerInvariant()
    if ($script:AllowedDownloadHosts -notcontains $downloadHost) {
        throw ('Blocked non-Microsoft download host: {0}' -f $uri.Host)
    }
    if ($uri.Scheme -ne 'https' -or -not $uri.IsDefaultPort -or -not [string]::IsNullOrEmpty($uri.UserInfo)) {
        throw ('Blocked download that is not a plain HTTPS address: {0}' -f $Url)
    }
}

# Pauses between two download attempts.
function Wait-RetryPause {
    param([Parameter(Mandatory = $true)][int]$Seconds)
    Start-Sleep -Seconds $Seconds
}

# Returns a web client that names this tool and its version in the User-Agent header.
function New-DownloadWebClient {
    $client = New-Object System.Net.WebClient
    $client.Headers['User-Agent'] = 'ORVELLE-Game-Support/' + $script:ToolVersion
    return $client
}

# Downloads the URL to the file with the given web client.
function Invoke-WebClientDownload {
    param(
        [Parameter(Mandatory = $true)]$Client,
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    $Client.DownloadFile($Url, $Destination)
}

# Fetches the URL to the destination once: through the Background Intelligent Transfer
# Service, or, when BITS is missing or fails, through the web client. Throws when both fail.
function Save-DownloadFile {
    param(
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    try {
        Import-Module BitsTransfer -ErrorAction Stop
        Start-BitsTransfer -Source $Url -Destination $Destination -DisplayName $Label -Description $script:BitsTransferDescription -ErrorAction Stop
        return
    } catch {
        # BITS refuses work without an interactive logon, among other reasons; the web
        # client below is the fallback, and its own error is the one that counts.
    }
    $client = New-DownloadWebClient
    try {
        Invoke-WebClientDownload -Client $client -Url $Url -Destination $Destination
    } finally {
        $client.Dispose()
    }
}

# How a failed download is told apart, in the log and in the failure text ({0}: the error's
# own message, {1}: the HTTP status number). A file that fails the signature check keeps the
# security message as it is.
$script:DownloadNetworkFormat = 'no network connection, or the server name could not be resolved ({0})'
$script:DownloadHttpStatusFormat = 'the server answered with HTTP status {1} ({0})'
$script:DownloadEmptyFileText = 'the downloaded file is empty'
$script:DownloadNotExecutableText = 'the downloaded file is not a Windows program (a web page, for example)'
# The first bytes of every Windows program file.
$script:ExecutableSignature = 'MZ'

# The web error behind a failed transfer (the error itself or one it wraps), or $null.
function Get-WebExceptionOf {
    param([Parameter(Mandatory = $true)]$Cause)
    $exception = $Cause
    if ($Cause -is [System.Management.Automation.ErrorRecord]) { $exception = $Cause.Exception }
    while ($null -ne $exception) {
        if ($exception -is [System.Net.WebException]) { return $exception }
        $exception = $exception.InnerException
    }
    return $null
}

# Turns the error of a failed transfer into a failure of kind HttpStatus (the server answered
# with an error status; its number is in the text) or Network (anything else: no network, a
# name that does not resolve, a connection that broke off).
function ConvertTo-DownloadFailure {
    param([Parameter(Mandatory = $true)]$Cause)
    $message = $Cause.Exception.Message
    $webException = Get-WebExceptionOf -Cause $Cause
    if ($null -ne $webException -and $webException.Status -eq [System.Net.WebExceptionStatus]::ProtocolError -and
        $null -ne $webException.Response -and $null -ne $webException.Response.PSObject.Properties['StatusCode']) {
        $status = [int]$webException.Response.StatusCode
        return (New-RunFailure -Message ($script:DownloadHttpStatusFormat -f $message, $status) -Kind HttpStatus)
    }
    return (New-RunFailure -Message ($script:DownloadNetworkFormat -f $message) -Kind Network)
}

# Throws a failure of kind EmptyFile when the downloaded file has no bytes, or NotExecutable
# when it does not start as a Windows program does (a captive portal's or an error web page).
function Assert-DownloadedProgram {
    param([Parameter(Mandatory = $true)][string]$Path)
    $bytes = [System.IO.File]::ReadAllBytes($Path)
    if ($bytes.Length -eq 0) {
        throw (New-RunFailure -Message $script:DownloadEmptyFileText -Kind EmptyFile)
    }
    if ($bytes.Length -lt 2 -or [System.Text.Encoding]::ASCII.GetString($bytes, 0, 2) -ne $script:ExecutableSignature) {
        throw (New-RunFailure -Message $script:DownloadNotExecutableText -Kind NotExecutable)
    }
}

# Downloads the URL to Destination once and checks what arrived. Throws a failure whose kind
# says what went wrong: Network, HttpStatus, EmptyFile, NotExecutable or Signature.
function Receive-VerifiedDownload {
    param(
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    try {
        Save-DownloadFile -Url $Url -Destination $Destination -Label $Label
    } catch {
        throw (ConvertTo-DownloadFailure -Cause $_)
    }
    Assert-DownloadedProgram -Path $Destination
    try {
        $null = Test-MicrosoftSignature -Path $Destination
    } catch {
        throw (New-RunFailure -Message $_.Exception.Message -Kind Signature)
    }
}

# A cached copy of a file behind a moving link (a package without known builds: the v14
# packages, the .NET Framework 3.5 installer) older than this is downloaded again, so that a
# PC does not keep an old runtime for good. Fixed-version files are reused at any age.
$script:MovingLinkRefreshDays = 30
# Where a stale cached copy waits while a newer one is fetched.
$script:StaleCopySuffix = '.previous'

# Downloads a verified copy to Destination from the first address that gives one: three
# attempts per address, pauses of 2 and 4 seconds, each failed attempt logged with its
# reason. The file's time is set to now, so its age counts from this download. Throws
# "Unable to securely download <label>: <reason of the last attempt>" with that reason's
# kind; a file that fails a check never stays at Destination.
function Save-VerifiedMicrosoftFile {
    param(
        [Parameter(Mandatory = $true)][string[]]$Addresses,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    $lastError = ''
    $lastKind = 'Other'
    foreach ($address in $Addresses) {
        if ($address -ne $Addresses[0]) {
            Write-Log -Message ('Trying the second Microsoft address for {0}: {1}' -f $Label, $address) -Level INFO
        }
        for ($attempt = 1; $attempt -le $script:DownloadAttempts; $attempt++) {
            try {
                Write-Log -Message ('Downloading {0} from Microsoft (attempt {1}/{2})...' -f $Label, $attempt, $script:DownloadAttempts) -Level INFO
                Remove-FileQuietly -Path $Destination
                Receive-VerifiedDownload -Url $address -Destination $Destination -Label $Label
                [System.IO.File]::SetLastWriteTimeUtc($Destination, (Get-WatchTime))
                return
            } catch {
                $lastError = $_.Exception.Message
                $lastKind = (Get-RunFailureDetail -Cause $_).Kind
                Remove-FileQuietly -Path $Destination
                Write-Log -Message ('Download of {0} failed: {1}' -f $Label, $lastError) -Level WARN
                if ($attempt -lt $script:DownloadAttempts) {
                    Wait-RetryPause -Seconds (2 * $attempt)
                }
            }
        }
    }
    throw (New-RunFailure -Message ('Unable to securely download {0}: {1}' -f $Label, $lastError) -Kind $lastKind)
}

# True when the cached file belongs to a moving link and is older than MovingLinkRefreshDays.
function Test-StaleMovingLinkCopy {
    param(
        [Parameter(Mandatory = $true)][string]$Label,
        [Parameter(Mandatory = $true)][string]$Path
    )
    if ($script:KnownBuilds.ContainsKey($Label)) {
        return $false
    }
    $age = (Get-WatchTime) - [System.IO.File]::GetLastWriteTimeUtc($Path)
    return ($age.TotalDays -gt $script:MovingLinkRefreshDays)
}

# Replaces a stale cached copy with a newer download; when that download fails, puts the
# cached copy back and says so in the log. Never throws for a failed download.
function Update-StaleCachedFile {
    param(
        [Parameter(Mandatory = $true)][string[]]$Addresses,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    Write-Log -Message ('The cached file for {0} is older than {1} days; downloading a newer copy.' -f $Label, $script:MovingLinkRefreshDays) -Level INFO
    $aside = $Destination + $script:StaleCopySuffix
    Remove-FileQuietly -Path $aside
    [System.IO.File]::Move($Destination, $aside)
    try {
        Save-VerifiedMicrosoftFile -Addresses $Addresses -Destination $Destination -Label $Label
        Remove-FileQuietly -Path $aside
    } catch {
        Remove-FileQuietly -Path $Destination
        [System.IO.File]::Move($aside, $Destination)
        Write-Log -Message ('Using the cached file for {0}: a newer copy could not be downloaded ({1}).' -f $Label, $_.Exception.Message) -Level WARN
    }
}

# Makes sure a Microsoft-signed copy of the URL's file is at Destination: reuses a cached
# copy that passes the signature check (a moving link's copy older than
# MovingLinkRefreshDays is fetched again first, see Update-StaleCachedFile), otherwise
# downloads it (see Save-VerifiedMicrosoftFile). When the URL gives no verified file and the
# package has a second Microsoft address (FallbackUrl), that address gets the same attempts.
# A file of a fixed-version package that is not a known build is noted (Confirm-KnownBuild).
# Throws the download failure, or the host error when an address is not allowed.
function Get-VerifiedMicrosoftFile {
    param(
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label,
        [string]$FallbackUrl = ''
    )
    $addresses = @($Url)
    if (-not [string]::IsNullOrEmpty($FallbackUrl)) {
        $addresses += $FallbackUrl
    }
    foreach ($address in $addresses) {
        Assert-MicrosoftDownloadHost -Url $address
    }

    $cached = $false
    if (Test-Path -LiteralPath $Destination -PathType Leaf) {
        try {
            $null = Test-MicrosoftSignature -Path $Destination
            $cached = $true
        } catch {
            Remove-FileQuietly -Path $Destination
        }
    }
    if ($cached -and (Test-StaleMovingLinkCopy -Label $Label -Path $Destination)) {
        Update-StaleCachedFile -Addresses $addresses -Destination $Destination -Label $Label
    } elseif ($cached) {
        Write-Log -Message ('Using verified cached file for {0}.' -f $Label) -Level OK
    } else {
        Save-VerifiedMicrosoftFile -Addresses $addresses -Destination $Destination -Label $Label
    }
    Confirm-KnownBuild -Label $Label -Path $Destination
}

# Installers start only from a folder made for them in this run ("Install.<16 hex>" in the
# work folder): an installer loads DLLs from its own folder, so nothing from before the run
# may sit beside it.
$script:InstallFolderStem = 'Install'

# Copies a file to a new file; an existing file at Destination is an error, never replaced.
function Copy-FileToNew {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    [System.IO.File]::Copy($Path, $Destination, $false)
}

# Deletes a folder this run made for one program, with everything in it. A folder that
# cannot be deleted (a program still holds a file in it) is logged and left, never an error.
function Remove-RunFolder {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        Remove-DirectoryTree -Path $Path
    } catch {
        Write-Log -Message ('Could not remove {0}: {1}' -f $Path, $_.Exception.Message) -Level WARN
    }
}

# Runs a verified installer (FilePath, as Get-VerifiedMicrosoftFile left it) through the
# checked process runner from a new private folder of this run that holds nothing but a copy
# of it: the copy is verified again there, run, and the folder deleted afterwards, whatever
# happened. With -WindowsInstaller the package waits for Windows Installer's turn (see
# Invoke-WindowsInstallerPackage). Returns the runner's exit code; throws the copy's,
# signature's or runner's error.
function Invoke-VerifiedInstaller {
    param(
        [Parameter(Mandatory = $true)][string]$FilePath,
        [Parameter(Mandatory = $true)][string]$Arguments,
        [Parameter(Mandatory = $true)][int[]]$SuccessCodes,
        [Parameter(Mandatory = $true)][string]$Label,
        [switch]$WindowsInstaller
    )
    $folder = New-PrivateFolder -Stem (Join-Path $script:WorkDir $script:InstallFolderStem)
    try {
        $copy = Join-Path $folder (Split-Path -Leaf $FilePath)
        Copy-FileToNew -Path $FilePath -Destination $copy
        $null = Test-MicrosoftSignature -Path $copy
        if ($WindowsInstaller) {
            return (Invoke-WindowsInstallerPackage -FilePath $copy -Arguments $Arguments -SuccessCodes $SuccessCodes -Label $Label)
        }
        return (Invoke-ProcessChecked -FilePath $copy -Arguments $Arguments -SuccessCodes $SuccessCodes -Label $Label)
    } finally {
        Remove-RunFolder -Path $folder
    }
}
#endregion

#region Installers' own logs

# How many lines of an installer's own log go into the run's log after it failed, and how
# much of the file's end is read for them (such logs grow to many megabytes).
$script:InstallerLogTailLines = 20
$script:InstallerLogTailBytes = 65536

# The last InstallerLogTailLines lines of a text file, read from its last
# InstallerLogTailBytes while another program may still write it. Returns nothing when the
# file is missing or cannot be read.
function Get-LogFileTail {
    param([Parameter(Mandatory = $true)][string]$Path)
    # A log the installer never wrote is the usual case: it is told apart before the open
    # rather than by the open's exception, which a PowerShell under Wine crashed handling.
    if (-not (Test-Path -LiteralPath $Path -PathType Leaf)) {
        return
    }
    try {
        $stream = New-Object System.IO.FileStream $Path, ([System.IO.FileMode]::Open), ([System.IO.FileAccess]::Read), ([System.IO.FileShare]::ReadWrite -bor [System.IO.FileShare]::Delete)
        try {
            $start = [Math]::Max([long]0, $stream.Length - $script:InstallerLogTailBytes)
            $null = $stream.Seek($start, [System.IO.SeekOrigin]::Begin)
            $reader = New-Object System.IO.StreamReader $stream, $true
            $text = $reader.ReadToEnd()
        } finally {
            $stream.Dispose()
        }
    } catch {
        return
    }
    $lines = @($text -split "`r?`n" | Where-Object { $_.Trim().Length -gt 0 })
    # When the file was read from the middle, the first line read may be cut.
    $first = 0
    if ($start -gt 0) {
        $first = 1
    }
    $first = [Math]::Max($first, $lines.Count - $script:InstallerLogTailLines)
    if ($first -ge $lines.Count) {
        return
    }
    return @($lines[$first..($lines.Count - 1)])
}

# After an installer failed: copies the end of its own log (Path) into the run's log under
# "Last lines of <path>:" and returns the failure again with " Installer log: <path>" added
# to its text, with the same kind and exit code. A missing log adds nothing.
function Add-InstallerLogToFailure {
    param(
        [Parameter(Mandatory = $true)]$Cause,
        [Parameter(Mandatory = $true)][string]$Path
    )
    $tail = @(Get-LogFileTail -Path $Path)
    if ($tail.Count -eq 0) {
        return $Cause.Exception
    }
    Write-Log -Message ('Last lines of {0}:' -f $Path) -Level INFO
    Add-LogText -Text (($tail -join "`r`n") + "`r`n")
    $detail = Get-RunFailureDetail -Cause $Cause
    return (New-RunFailure -Message ('{0} Installer log: {1}' -f $Cause.Exception.Message, $Path) -Kind $detail.Kind -ExitCode $detail.ExitCode)
}
#endregion

#region Windows features: .NET Framework 3.5 and DirectPlay

# .NET Framework 3.5 counts as present when its setup key says Install = 1 or the NetFx3
# feature reads Enabled. From build 28000 on Windows no longer enables it through DISM, so
# Microsoft's own installer is downloaded, verified and run instead.
$script:NetFx35MarkerKey = 'HKLM:\SOFTWARE\Microsoft\NET Framework Setup\NDP\v3.5'
$script:NetFx35InstallerMinimumBuild = 28000
$script:NetFx35Installer = @{
    Url          = 'https://go.microsoft.com/fwlink/?LinkID=2337635'
    File         = 'DotNet35Setup-Windows11-26H1.exe'
    Label        = '.NET Framework 3.5 for Windows 11 26H1+'
    Arguments    = '/quiet /norestart'
    RunnerLabel  = 'DotNet35'
    SuccessCodes = @(0, 3010, 1641, 1638)
}
$script:DismSuccessCodes = @(0, 3010)
# DISM may take up to an hour to enable .NET Framework 3.5 (it may fetch it from Windows
# Update); every other program gets the runner's default limit.
$script:DismNetFx35TimeLimitMinutes = 60
$script:NetFx35NotVerifiedMessage = '.NET Framework 3.5 installation could not be verified. If DISM reports 0x800F081F, use Windows installation media that exactly matches the installed Windows build.'

# Full path of DISM in this Windows' System32 folder.
function Get-DismPath {
    return (Get-WindowsFolder) + '\System32\dism.exe'
}

# Full path of DISM's own log (Logs\DISM\dism.log in the Windows folder).
function Get-DismLogPath {
    return (Join-Path (Join-Path (Join-Path (Get-WindowsFolder) 'Logs') 'DISM') 'dism.log')
}

# Returns the state text of an optional feature ("Enabled", "Disabled", ...). Throws when
# the state cannot be read.
function Get-OptionalFeatureState {
    param([Parameter(Mandatory = $true)][string]$FeatureName)
    $feature = Get-WindowsOptionalFeature -Online -FeatureName $FeatureName
    if ($null -eq $feature -or $null -eq $feature.PSObject.Properties['State']) {
        throw ('Feature {0} reported no state.' -f $FeatureName)
    }
    return [string]$feature.State
}

# Enables an optional feature with all its parents and no restart through DISM. Throws the
# runner's message when DISM ends with anything but 0 or 3010.
function Enable-OptionalFeatureWithDism {
    param(
        [Parameter(Mandatory = $true)][string]$FeatureName,
        [Parameter(Mandatory = $true)][string]$Label,
        [int]$TimeLimitMinutes = $script:ProcessTimeLimitMinutes
    )
    $arguments = '/Online /Enable-Feature /FeatureName:{0} /All /NoRestart' -f $FeatureName
    $null = Invoke-ProcessChecked -FilePath (Get-DismPath) -Arguments $arguments -SuccessCodes $script:DismSuccessCodes -Label $Label -TimeLimitMinutes $TimeLimitMinutes
}

# True when .NET Framework 3.5 is present: the setup key's Install value is 1, or else the
# NetFx3 feature is Enabled. Never throws; anything unreadable counts as absent.
function Test-NetFx35Installed {
    try {
        $marker = Get-ItemProperty -Path $script:NetFx35MarkerKey -Name 'Install'
        if ($null -ne $marker -and $null -ne $marker.PSObject.Properties['Install'] -and [int]$marker.Install -eq 1) {
            return $true
        }
    } catch {
        # No key or no value: ask the feature instead.
    }
    try {
        if ((Get-OptionalFeatureState -FeatureName 'NetFx3') -eq 'Enabled') {
            return $true
        }
    } catch {
        # A feature query that fails says nothing either way.
    }
    return $false
}

# Makes .NET Framework 3.5 present: DISM below build 28000, Microsoft's verified installer
# from 28000 on (DISM is not tried when that download fails). Throws when the install
# command fails or .NET Framework 3.5 is still not detected afterwards.
function Install-NetFx35 {
    param([Parameter(Mandatory = $true)][int]$WindowsBuild)
    if (Test-NetFx35Installed) {
        Write-Log -Message '.NET Framework 3.5 is already installed.' -Level OK
        return
    }

    if ($WindowsBuild -ge $script:NetFx35InstallerMinimumBuild) {
        $installer = $script:NetFx35Installer
        $destination = Join-Path $script:WorkDir $installer.File
        Get-VerifiedMicrosoftFile -Url $installer.Url -Destination $destination -Label $installer.Label
        $null = Invoke-VerifiedInstaller -FilePath $destination -Arguments $installer.Arguments -SuccessCodes $installer.SuccessCodes -Label $installer.RunnerLabel -WindowsInstaller
    } else {
        try {
            Enable-OptionalFeatureWithDism -FeatureName 'NetFx3' -Label 'DISM-NetFx3' -TimeLimitMinutes $script:DismNetFx35TimeLimitMinutes
        } catch {
            throw (Add-InstallerLogToFailure -Cause $_ -Path (Get-DismLogPath))
        }
    }

    if (-not (Test-NetFx35Installed)) {
        throw $script:NetFx35NotVerifiedMessage
    }
    Write-Log -Message '.NET Framework 3.5 verification passed.' -Level OK
}

# Enables DirectPlay through DISM unless the feature already reads Enabled. An unreadable
# state is logged and DISM runs anyway. Throws the runner's message when DISM fails.
function Install-DirectPlay {
    $state = $null
    try {
        $state = Get-OptionalFeatureState -FeatureName 'DirectPlay'
    } catch {
        Write-Log -Message 'DirectPlay feature state could not be read; attempting installation.' -Level WARN
    }
    if ($state -eq 'Enabled') {
        Write-Log -Message 'DirectPlay is already enabled.' -Level OK
        return
    }
    Enable-OptionalFeatureWithDism -FeatureName 'DirectPlay' -Label 'DISM-DirectPlay'
}
#endregion

#region Visual C++ runtimes

# The Visual C++ packages, installed in this order. A row is used only on a Windows that
# runs programs of its architecture (see below): x86 rows everywhere, the x64 row on 64-bit
# Windows. Only Visual C++ 2005 is looked up first: its installer shows a popup when a
# newer build of it is present. A failing v14 package is a failure, an older one a warning.
# FallbackUrl is the second address Microsoft documents for a package (the 2013 short link
# has served empty files; Microsoft's page for that runtime lists the direct link).
$script:VisualCppPackages = @(
    [pscustomobject]@{ Name = 'Visual C++ 2005 SP1 x86'; File = 'vc2005sp1-x86.exe'; Url = 'https://download.microsoft.com/download/8/B/4/8B42259F-5D70-43F4-AC2E-4B208FD8D66A/vcredist_x86.EXE'; Args = '/Q'; FallbackUrl = ''; Critical = $false; SkipPattern = 'Microsoft Visual C++ 2005*'; Architecture = 'x86' }
    [pscustomobject]@{ Name = 'Visual C++ 2008 SP1 x86'; File = 'vc2008sp1-x86.exe'; Url = 'https://download.microsoft.com/download/5/D/8/5D8C65CB-C849-4025-8E95-C3966CAFD8AE/vcredist_x86.exe'; Args = '/q /norestart'; FallbackUrl = ''; Critical = $false; SkipPattern = ''; Architecture = 'x86' }
    [pscustomobject]@{ Name = 'Visual C++ 2010 SP1 x86'; File = 'vc2010sp1-x86.exe'; Url = 'https://download.microsoft.com/download/1/6/5/165255E7-1014-4D0A-B094-B6A430A6BFFC/vcredist_x86.exe'; Args = '/q /norestart'; FallbackUrl = ''; Critical = $false; SkipPattern = ''; Architecture = 'x86' }
    [pscustomobject]@{ Name = 'Visual C++ 2012 Update 4 x86'; File = 'vc2012u4-x86.exe'; Url = 'https://download.microsoft.com/download/1/6/B/16B06F60-3B20-4FF2-B699-5E9B7962F9AE/VSU_4/vcredist_x86.exe'; Args = '/install /quiet /norestart'; FallbackUrl = ''; Critical = $false; SkipPattern = ''; Architecture = 'x86' }
    [pscustomobject]@{ Name = 'Visual C++ 2013 x86'; File = 'vc2013-x86.exe'; Url = 'https://aka.ms/highdpimfc2013x86enu'; Args = '/install /quiet /norestart'; FallbackUrl = 'https://download.visualstudio.microsoft.com/download/pr/10912113/5da66ddebb0ad32ebd4b922fd82e8e25/vcredist_x86.exe'; Critical = $false; SkipPattern = ''; Architecture = 'x86' }
    [pscustomobject]@{ Name = 'Visual C++ v14 latest x86'; File = 'vc14-latest-x86.exe'; Url = 'https://aka.ms/vc14/vc_redist.x86.exe'; Args = '/install /quiet /norestart'; FallbackUrl = ''; Critical = $true; SkipPattern = ''; Architecture = 'x86' }
    [pscustomobject]@{ Name = 'Visual C++ v14 latest x64'; File = 'vc14-latest-x64.exe'; Url = 'https://aka.ms/vc14/vc_redist.x64.exe'; Args = '/install /quiet /norestart'; FallbackUrl = ''; Critical = $true; SkipPattern = ''; Architecture = 'x64' }
)
$script:VisualCppSuccessCodes = @(0, 3010, 1641, 1638)
# How a package's problem is recorded: a failure for a critical package, a warning for a
# legacy one ({0} the package name, {1} the error).
$script:VisualCppFailureFormat = '{0}: {1}'
$script:VisualCppWarningFormat = 'Legacy runtime {0} was skipped or failed: {1}'

# Installed programs of the OS's own bitness, and 32-bit programs on 64-bit Windows.
$script:UninstallRootNative = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\*'
$script:UninstallRootWow6432 = 'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\*'

# True when what a program of the architecture writes under HKLM\SOFTWARE lands in the
# WOW6432Node view: x86 on 64-bit Windows. The Uninstall entries and the v14 runtime keys
# are looked up there then.
function Test-Wow6432RegistryView {
    param([Parameter(Mandatory = $true)][ValidateSet('x86', 'x64')][string]$Architecture)
    return ($Architecture -eq 'x86' -and (Test-Is64BitWindows))
}

# Visual C++ 2005 can be present only in the side-by-side store, without an Uninstall entry.
$script:VisualCpp2005Pattern = 'Microsoft Visual C++ 2005*'
$script:VisualCpp2005ManifestFilter = 'x86_microsoft.vc80.crt_*'

# The architectures whose programs each Windows runs: ARM64 Windows runs x64 and x86
# programs as well as its own.
$script:ArchitecturesRunBy = @{
    'x86'   = @('x86')
    'x64'   = @('x86', 'x64')
    'ARM64' = @('x86', 'x64', 'ARM64')
}

# Returns the packages for this Windows, in table order: the rows whose architecture the
# operating system runs.
function Get-VisualCppPackageList {
    $runs = @($script:ArchitecturesRunBy[(Get-WindowsArchitecture)])
    return @($script:VisualCppPackages | Where-Object { $runs -contains $_.Architecture })
}

# True when WinSxS\Manifests holds a file named like the x86 Visual C++ 2005 runtime's
# manifest. A missing or unreadable folder counts as no file.
function Test-VisualCpp2005Manifest {
    $manifests = Join-Path (Join-Path (Get-WindowsFolder) 'WinSxS') 'Manifests'
    try {
        foreach ($file in [System.IO.Directory]::EnumerateFiles($manifests, $script:VisualCpp2005ManifestFilter)) {
            return $true
        }
    } catch {
        # No readable manifest folder: nothing found.
    }
    return $false
}

# Returns the first installed program whose DisplayName matches the pattern (-like: whole
# name, any letter case) in the one Uninstall view of the architecture: WOW6432Node for x86
# on 64-bit Windows, the native view otherwise. For the Visual C++ 2005 pattern a WinSxS
# manifest stands in for a missing entry. Returns nothing when none is found; a query error
# is logged at WARN and also answered with nothing.
function Get-InstalledVisualCppRuntime {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)][string]$DisplayNamePattern,
        [ValidateSet('x86', 'x64')][string]$Architecture = 'x86'
    )
    try {
        $root = $script:UninstallRootNative
        if (Test-Wow6432RegistryView -Architecture $Architecture) {
            $root = $script:UninstallRootWow6432
        }
        foreach ($entry in @(Get-ItemProperty -Path $root -ErrorAction SilentlyContinue)) {
            if ($null -eq $entry -or $null -eq $entry.PSObject.Properties['DisplayName']) { continue }
            $displayName = [string]$entry.DisplayName
            if ([string]::IsNullOrWhiteSpace($displayName)) { continue }
            if ($displayName -like $DisplayNamePattern) {
                return $entry
            }
        }
        if ($DisplayNamePattern -eq $script:VisualCpp2005Pattern -and (Test-VisualCpp2005Manifest)) {
            return [pscustomobject]@{
                DisplayName    = 'Microsoft Visual C++ 2005 x86 Runtime (WinSxS)'
                DisplayVersion = 'installed'
            }
        }
    } catch {
        Write-Log -Message ('Could not query installed runtime pattern {0}: {1}' -f $DisplayNamePattern, $_.Exception.Message) -Level WARN
    }
}

# Returns the version to show for an installed program: its DisplayVersion, or "unknown"
# when that is missing or blank.
function Get-DisplayVersionText {
    param([Parameter(Mandatory = $true)]$Entry)
    if ($null -ne $Entry.PSObject.Properties['DisplayVersion'] -and -not [string]::IsNullOrWhiteSpace([string]$Entry.DisplayVersion)) {
        return [string]$Entry.DisplayVersion
    }
    return 'unknown'
}

# The v14 packages (rows whose Name starts so) write their own log into the work folder
# ("<runner label>-install.log") and are confirmed through the key each writes for its
# architecture: Installed = 1 and a Version. The key of the x86 runtime is in the 32-bit
# view on 64-bit Windows.
$script:VisualCppV14Prefix = 'Visual C++ v14 '
$script:VisualCppV14LogArguments = ' /log "{0}"'
$script:VisualCppV14RuntimeKey = 'HKLM:\SOFTWARE\Microsoft\VisualStudio\14.0\VC\Runtimes\{0}'
$script:VisualCppV14RuntimeKeyWow6432 = 'HKLM:\SOFTWARE\WOW6432Node\Microsoft\VisualStudio\14.0\VC\Runtimes\{0}'

# True for a v14 row of the package table.
function Test-VisualCppV14Package {
    param([Parameter(Mandatory = $true)]$Package)
    return $Package.Name.StartsWith($script:VisualCppV14Prefix, [StringComparison]::Ordinal)
}

# The path of a v14 package's own log in the work folder.
function Get-VisualCppInstallLogPath {
    param([Parameter(Mandatory = $true)]$Package)
    return (Join-Path $script:WorkDir ('{0}-install.log' -f (Get-VisualCppRunnerLabel -Package $Package)))
}

# The version the v14 runtime of the architecture registers, or $null when its key does not
# say Installed = 1. Never throws: an unreadable key counts as not registered.
function Get-VisualCppV14RegisteredVersion {
    param([Parameter(Mandatory = $true)][ValidateSet('x86', 'x64')][string]$Architecture)
    $key = $script:VisualCppV14RuntimeKey -f $Architecture
    if (Test-Wow6432RegistryView -Architecture $Architecture) {
        $key = $script:VisualCppV14RuntimeKeyWow6432 -f $Architecture
    }
    try {
        $values = Get-ItemProperty -Path $key -ErrorAction Stop
        if ($null -ne $values -and $null -ne $values.PSObject.Properties['Installed'] -and [int]$values.Installed -eq 1) {
            $version = 'unknown'
            if ($null -ne $values.PSObject.Properties['Version'] -and -not [string]::IsNullOrWhiteSpace([string]$values.Version)) {
                $version = [string]$values.Version
            }
            return $version
        }
    } catch {
        # No key: not registered.
    }
    return $null
}

# Throws "<label> ended with exit code <code>, but the v14 <arch> runtime is not registered."
# (kind NotRegistered) unless the v14 runtime of the package's architecture is registered;
# logs its version otherwise. Exit code 1638 (a newer version is present) is no proof alone.
function Confirm-VisualCppV14Runtime {
    param([Parameter(Mandatory = $true)]$Package, [Parameter(Mandatory = $true)][int]$ExitCode)
    $version = Get-VisualCppV14RegisteredVersion -Architecture $Package.Architecture
    if ($null -eq $version) {
        throw (New-RunFailure -Message ('{0} ended with exit code {1}, but the v14 {2} runtime is not registered.' -f (Get-VisualCppRunnerLabel -Package $Package), $ExitCode, $Package.Architecture) -Kind NotRegistered -ExitCode $ExitCode)
    }
    Write-Log -Message ('Visual C++ v14 {0} runtime confirmed (version {1}).' -f $Package.Architecture, $version) -Level OK
}

# The runner label of a package: its file name without ".exe".
function Get-VisualCppRunnerLabel {
    param([Parameter(Mandatory = $true)]$Package)
    return ($Package.File -replace '\.exe$', '')
}

# Runs a verified v14 package with its own log in the work folder and confirms the runtime
# it registers. A failure carries the log's last lines into the run's log and names the log.
function Install-VisualCppV14Package {
    param([Parameter(Mandatory = $true)]$Package, [Parameter(Mandatory = $true)][string]$FilePath)
    $logPath = Get-VisualCppInstallLogPath -Package $Package
    Remove-FileQuietly -Path $logPath
    $arguments = $Package.Args + ($script:VisualCppV14LogArguments -f $logPath)
    try {
        $exitCode = Invoke-VerifiedInstaller -FilePath $FilePath -Arguments $arguments -SuccessCodes $script:VisualCppSuccessCodes -Label (Get-VisualCppRunnerLabel -Package $Package) -WindowsInstaller
        Confirm-VisualCppV14Runtime -Package $Package -ExitCode $exitCode
    } catch {
        throw (Add-InstallerLogToFailure -Cause $_ -Path $logPath)
    }
}

# Downloads (or takes from the verified cache) and silently runs every package of the list,
# one after another. Each package's problem becomes one failure (v14) or one warning (older
# runtimes) and the next package still runs, so this step always ends normally.
function Install-VisualCppRuntimes {
    foreach ($package in @(Get-VisualCppPackageList)) {
        try {
            if (-not [string]::IsNullOrWhiteSpace($package.SkipPattern)) {
                $installed = Get-InstalledVisualCppRuntime -DisplayNamePattern $package.SkipPattern -Architecture $package.Architecture
                if ($null -ne $installed) {
                    Write-Log -Message ('{0} is already installed (version {1}) - skipped to prevent duplicate-version popups.' -f $package.Name, (Get-DisplayVersionText -Entry $installed)) -Level OK
                    continue
                }
            }
            $destination = Join-Path $script:WorkDir $package.File
            Get-VerifiedMicrosoftFile -Url $package.Url -FallbackUrl $package.FallbackUrl -Destination $destination -Label $package.Name
            $runnerLabel = Get-VisualCppRunnerLabel -Package $package
            if (Test-VisualCppV14Package -Package $package) {
                Install-VisualCppV14Package -Package $package -FilePath $destination
                continue
            }
            $null = Invoke-VerifiedInstaller -FilePath $destination -Arguments $package.Args -SuccessCodes $script:VisualCppSuccessCodes -Label $runnerLabel -WindowsInstaller
        } catch {
            if ($package.Critical) {
                Add-Failure -Message ($script:VisualCppFailureFormat -f $package.Name, $_.Exception.Message) -Subject $package.Name -Cause $_
            } else {
                Add-Warning -Message ($script:VisualCppWarningFormat -f $package.Name, $_.Exception.Message) -Subject $package.Name -Cause $_
            }
        }
    }
}
#endregion

#region DirectX legacy runtime

# The June 2010 DirectX package is unpacked into a new private folder of this run
# ("DirectX-June2010.<16 hex>" in the work folder), deleted afterwards, and only its signed
# DXSETUP.exe is run.
$script:DirectXLegacy = @{
    Url                 = 'https://download.microsoft.com/download/8/4/a/84a35bf1-dafe-4ae8-82af-ad2ae20b6b14/directx_Jun2010_redist.exe'
    PackageFile         = 'directx_Jun2010_redist.exe'
    Label               = 'DirectX End-User Runtimes (June 2010)'
    ExtractFolder       = 'DirectX-June2010'
    ExtractSuccessCodes = @(0)
    ExtractLabel        = 'DirectX-Extract'
    SetupFile           = 'DXSETUP.exe'
    SetupArguments      = '/silent'
    SetupSuccessCodes   = @(0, 3010)
    SetupLabel          = 'DXSETUP'
    # DXSETUP's own log, in the Windows folder.
    SetupLog            = 'DXError.log'
    Dll                 = 'd3dx9_43.dll'
}

# Clears the read-only, hidden and system attributes of a real file or folder, which would
# otherwise make Windows refuse to delete it (or, on a folder, the entries inside it).
function Clear-ProtectiveAttributes {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    $protective = [int]([System.IO.FileAttributes]::ReadOnly -bor [System.IO.FileAttributes]::Hidden -bor [System.IO.FileAttributes]::System)
    if (([int]$Attributes -band $protective) -eq 0) {
        return
    }
    $cleared = [int]$Attributes -band (-bnot $protective)
    if ($cleared -eq 0) {
        $cleared = [int][System.IO.FileAttributes]::Normal
    }
    [System.IO.File]::SetAttributes($Path, [System.IO.FileAttributes]$cleared)
}

# Deletes one file-system entry. A link (symbolic link, junction, mount point) is removed
# as a link and its target is never touched. A real folder is emptied entry by entry and
# then removed. Read-only, hidden and system attributes are cleared first.
function Remove-FileSystemEntry {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    if (Test-IsLinkAttribute -Attributes $Attributes) {
        Remove-FolderLink -Path $Path -Attributes $Attributes
        return
    }
    Clear-ProtectiveAttributes -Path $Path -Attributes $Attributes
    if (($Attributes -band [System.IO.FileAttributes]::Directory) -ne 0) {
        foreach ($child in [System.IO.Directory]::GetFileSystemEntries($Path)) {
            $childAttributes = Get-FolderItemAttributes -Path $child
            if ($null -ne $childAttributes) {
                Remove-FileSystemEntry -Path $child -Attributes $childAttributes
            }
        }
        [System.IO.Directory]::Delete($Path, $false)
        return
    }
    [System.IO.File]::Delete($Path)
}

# Deletes whatever is at the path with everything below it, hidden and read-only items
# included, without ever following a link: a link at the path itself or anywhere below is
# removed as a link, so nothing outside the tree is deleted. Nothing there is no error.
function Remove-DirectoryTree {
    param([Parameter(Mandatory = $true)][string]$Path)
    $fullPath = [System.IO.Path]::GetFullPath($Path)
    $attributes = Get-FolderItemAttributes -Path $fullPath
    if ($null -eq $attributes) {
        return
    }
    Remove-FileSystemEntry -Path $fullPath -Attributes $attributes
}

# Where the DirectX setup leaves d3dx9_43.dll: the system folder for 32-bit programs
# (SysWOW64 on 64-bit Windows, System32 on 32-bit Windows).
function Get-DirectXLegacyDllPath {
    $systemFolder = 'System32'
    if (Test-Is64BitWindows) {
        $systemFolder = 'SysWOW64'
    }
    return Join-Path (Join-Path (Get-WindowsFolder) $systemFolder) $script:DirectXLegacy.Dll
}

# Downloads (or takes from the verified cache) the DirectX June 2010 package, unpacks it
# from a folder of this run into another new private folder, verifies and runs its
# DXSETUP.exe silently, deletes the unpacked files and checks that d3dx9_43.dll is in the
# system folder for 32-bit programs. Throws at the first stage that fails, with that
# stage's message.
function Install-DirectXLegacy {
    $directX = $script:DirectXLegacy
    $package = Join-Path $script:WorkDir $directX.PackageFile
    Get-VerifiedMicrosoftFile -Url $directX.Url -Destination $package -Label $directX.Label

    $extractFolder = [System.IO.Path]::GetFullPath((New-PrivateFolder -Stem (Join-Path $script:WorkDir $directX.ExtractFolder)))
    try {
        $extractArguments = '/Q /T:"' + $extractFolder + '"'
        $null = Invoke-VerifiedInstaller -FilePath $package -Arguments $extractArguments -SuccessCodes $directX.ExtractSuccessCodes -Label $directX.ExtractLabel

        $setup = Join-Path $extractFolder $directX.SetupFile
        if (-not (Test-Path -LiteralPath $setup -PathType Leaf)) {
            throw 'DXSETUP.exe was not found after secure extraction.'
        }
        $null = Test-MicrosoftSignature -Path $setup
        try {
            $null = Invoke-WindowsInstallerPackage -FilePath $setup -Arguments $directX.SetupArguments -SuccessCodes $directX.SetupSuccessCodes -Label $directX.SetupLabel
        } catch {
            throw (Add-InstallerLogToFailure -Cause $_ -Path (Join-Path (Get-WindowsFolder) $directX.SetupLog))
        }
    } finally {
        Remove-RunFolder -Path $extractFolder
    }

    if (-not (Test-Path -LiteralPath (Get-DirectXLegacyDllPath) -PathType Leaf)) {
        throw 'DirectX setup completed but d3dx9_43.dll was not found.'
    }
    Write-Log -Message 'DirectX legacy DLL verification passed (d3dx9_43.dll).' -Level OK
}
#endregion

#region Diagnostic report

# What the report looks at, in the order it lists them, and the bounds that keep it short.
$script:ReportDllNames = @(
    'd3d9.dll', 'd3dx9_43.dll', 'd3dx9_42.dll', 'xinput1_3.dll', 'xaudio2_7.dll',
    'msvcp100.dll', 'msvcr100.dll', 'msvcp120.dll', 'msvcr120.dll', 'vcruntime140.dll', 'msvcp140.dll'
)
$script:ReportUninstallRoots = @(
    'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\*',
    'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\*'
)
$script:ReportRuntimePattern = 'Microsoft Visual C++*Redistributable*'
$script:ReportEventProviders = @('Application Error', '.NET Runtime', 'SideBySide', 'Windows Error Reporting')
$script:ReportEventHours = 48
$script:ReportEventsQueried = 80
$script:ReportEventsShown = 20
$script:ReportEventMessageLength = 700
$script:ReportMaxDetections = 10
$script:ReportMaxGameFiles = 100
$script:ReportPrivacyNote = 'Privacy note: This report can include computer name, local file paths and recent application error details. Review it before sharing.'

# The likely-causes block: at most 20 lines, free space below 2 GB counts as low, and the
# places where Windows itself notes that it must restart (read only).
$script:ReportMaxCauses = 20
$script:ReportLowFreeSpaceBytes = 2GB
$script:ReportRestartKeys = [ordered]@{
    'Component Based Servicing' = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\RebootPending'
    'Windows Update'            = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\WindowsUpdate\Auto Update\RebootRequired'
}
$script:ReportSessionManagerKey = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager'

# The prerequisites this tool installs, with the runtime DLL names that belong to each
# (regular expressions on the file name, letter case ignored) and where this run records
# them in the run record: the subjects of its failures and warnings and the runner labels of
# its installers (the Visual C++ rows take both from the package list). Installed lists the
# DisplayName patterns of its Uninstall entries.
$script:ReportPrerequisites = @(
    [pscustomobject]@{ Name = 'Visual C++ 2005'; Modules = '^(msvcr|msvcp|mfc)80u?\.dll$'; Installed = @('Microsoft Visual C++ 2005*') }
    [pscustomobject]@{ Name = 'Visual C++ 2008'; Modules = '^(msvcr|msvcp|mfc)90u?\.dll$'; Installed = @('Microsoft Visual C++ 2008*') }
    [pscustomobject]@{ Name = 'Visual C++ 2010'; Modules = '^(msvcr|msvcp|mfc)100u?\.dll$'; Installed = @('Microsoft Visual C++ 2010*') }
    [pscustomobject]@{ Name = 'Visual C++ 2012'; Modules = '^(msvcr|msvcp|mfc)110u?\.dll$'; Installed = @('Microsoft Visual C++ 2012*') }
    [pscustomobject]@{ Name = 'Visual C++ 2013'; Modules = '^(msvcr|msvcp|mfc)120u?\.dll$'; Installed = @('Microsoft Visual C++ 2013*') }
    [pscustomobject]@{ Name = 'Visual C++ v14'; Modules = '^(msvcp140.*|vcruntime140.*|concrt140|mfc140.*)\.dll$'
        Installed = @('Microsoft Visual C++ 2015*', 'Microsoft Visual C++ 2017*', 'Microsoft Visual C++ 2019*', 'Microsoft Visual C++ 2022*', 'Microsoft Visual C++ v14*') }
    [pscustomobject]@{ Name = 'DirectX June 2010'; Modules = '^(d3dx9_.+|d3dx10_.+|d3dx11_.+|d3dcompiler_(3[3-9]|4[0-3])|xinput1_[1-3]|xaudio2_[0-7]|x3daudio1_.+|xactengine.+)\.dll$'
        Subjects = @('DirectX legacy runtime'); RunnerLabels = @('DXSETUP') }
    [pscustomobject]@{ Name = '.NET Framework'; Modules = '^(mscoree|mscorwks|clr)\.dll$'
        Subjects = @('.NET Framework 3.5'); RunnerLabels = @('DISM-NetFx3', 'DotNet35') }
)
# PE machine types by name; any other machine is shown as its number.
$script:ReportPeMachines = @{ 0x014C = 'x86'; 0x8664 = 'x64'; 0xAA64 = 'ARM64' }

# The report's blocks, in order: the header, the function that adds the block's lines (it
# gets the line list and the facts the report gathered), what the block's "Unable to ..."
# line says could not be done when that function throws ("" when an error stops the whole
# report instead), and whether the block needs a game path.
$script:ReportBlocks = @(
    [pscustomobject]@{ Header = '[WINDOWS]'; Body = 'Add-ReportWindowsLines'; Unable = ''; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[WINDOWS FEATURES]'; Body = 'Add-ReportFeatureLines'; Unable = ''; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[DIRECTX / COMMON DLL FILES]'; Body = 'Add-ReportDllLines'; Unable = ''; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[INSTALLED VISUAL C++ RUNTIMES]'; Body = 'Add-ReportRuntimeLines'; Unable = 'query runtimes'; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[GRAPHICS]'; Body = 'Add-ReportGraphicsLines'; Unable = 'query GPU'; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]'; Body = 'Add-ReportDefenderLines'; Unable = 'query Defender'; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[GAME FILES]'; Body = 'Add-ReportGameFileLines'; Unable = 'inspect game path'; NeedsGamePath = $true }
    [pscustomobject]@{ Header = '[RECENT APPLICATION ERRORS - LAST 48 HOURS]'; Body = 'Add-ReportEventLines'; Unable = 'query event log'; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[LIKELY CAUSES]'; Body = 'Add-ReportLikelyCauseLines'; Unable = ''; NeedsGamePath = $false }
    [pscustomobject]@{ Header = '[SETUP RESULT]'; Body = 'Add-ReportResultLines'; Unable = ''; NeedsGamePath = $false }
)

# Returns the text with every control character (CR, LF, TAB, ESC and the rest) replaced by
# one blank each: a value can neither break a report line nor carry terminal sequences.
# \p{Cc} is the Unicode category that Char.IsControl tests.
function ConvertTo-ReportText {
    param([AllowNull()][AllowEmptyString()][string]$Text)
    if ([string]::IsNullOrEmpty($Text)) {
        return ''
    }
    return [regex]::Replace($Text, '\p{Cc}', ' ')
}

# Returns the state name of an optional Windows feature ("Enabled", "Disabled", ...), or
# "Unavailable" when the query fails or gives no state. Never throws.
function Get-FeatureStateText {
    param([string]$FeatureName)
    try {
        $features = @(Get-WindowsOptionalFeature -Online -FeatureName $FeatureName -ErrorAction Stop)
        if ($features.Count -eq 0 -or $null -eq $features[0] -or $null -eq $features[0].PSObject.Properties['State']) {
            return 'Unavailable'
        }
        $state = [string]$features[0].State
        if ([string]::IsNullOrWhiteSpace($state)) {
            return 'Unavailable'
        }
        return $state
    } catch {
        return 'Unavailable'
    }
}

# Appends one line to the report's line list; without a text, an empty line. Every line,
# and so every value in it, passes through ConvertTo-ReportText.
function Add-ReportLine {
    param(
        [Parameter(Mandatory = $true)][AllowEmptyCollection()]$Lines,
        [AllowEmptyString()][AllowNull()][string]$Text = ''
    )
    $null = $Lines.Add((ConvertTo-ReportText -Text $Text))
}

# Appends one block of the report: an empty line, the block's header and the lines its body
# function adds. When the body throws, a block with an Unable text gets the line "Unable to
# <Unable>: <message>" after the lines added so far; for any other block the error goes on.
function Add-ReportBlock {
    param(
        [Parameter(Mandatory = $true)][AllowEmptyCollection()]$Lines,
        [Parameter(Mandatory = $true)]$Block,
        [Parameter(Mandatory = $true)]$Facts
    )
    Add-ReportLine -Lines $Lines
    Add-ReportLine -Lines $Lines -Text $Block.Header
    try {
        & $Block.Body -Lines $Lines -Facts $Facts
    } catch {
        if ([string]::IsNullOrEmpty($Block.Unable)) {
            throw
        }
        Add-ReportLine -Lines $Lines -Text ('Unable to {0}: {1}' -f $Block.Unable, $_.Exception.Message)
    }
}

# The desktop folder of the account running the script; "" when it has none.
function Get-DesktopFolder {
    return [Environment]::GetFolderPath('Desktop')
}

# The folder below the product folder where reports for administrators go.
$script:AdminReportFolderName = 'Reports'

# The folder the report goes to. An unattended run or one as SYSTEM writes to "Reports" in
# the product folder, secured like the log folder (an administrator finds it there; SYSTEM's
# desktop nobody opens); it throws when the product folder has not been set up. Otherwise the
# desktop when it exists, else TEMP.
function Get-ReportFolder {
    if ($script:RunUnattended -or (Test-IsSystemAccount)) {
        if ([string]::IsNullOrEmpty($script:ProductDir)) {
            throw 'The report folder under ProgramData has not been set up.'
        }
        $reports = Initialize-SecuredFolder -Path (Join-Path $script:ProductDir $script:AdminReportFolderName)
        Write-SecuredFolderNotes -Folder $reports
        return $reports.Path
    }
    $desktop = Get-DesktopFolder
    if (-not [string]::IsNullOrWhiteSpace($desktop) -and (Test-Path -LiteralPath $desktop -PathType Container)) {
        return $desktop
    }
    return $env:TEMP
}

# The entries of both Uninstall views, native view first, that have a DisplayName value. A
# view that cannot be read (or does not exist on 32-bit Windows) adds nothing.
function Get-UninstallEntries {
    $entries = @()
    foreach ($root in $script:ReportUninstallRoots) {
        try {
            $entries += @(Get-ItemProperty -Path $root -ErrorAction SilentlyContinue)
        } catch {
            # Passed over without a trace.
        }
    }
    return @($entries | Where-Object { $null -ne $_ -and $null -ne $_.PSObject.Properties['DisplayName'] })
}

# The FileVersion text of a file's version resource; "" when it has none.
function Get-FileVersionText {
    param([Parameter(Mandatory = $true)][string]$Path)
    $version = [System.Diagnostics.FileVersionInfo]::GetVersionInfo($Path).FileVersion
    if ($null -eq $version) {
        return ''
    }
    return [string]$version
}

# Windows build record, rights and whether this run asked for a restart.
function Add-ReportWindowsLines {
    param($Lines, $Facts)
    Add-ReportLine -Lines $Lines -Text ('OS           : {0}' -f $Facts.Windows.Caption)
    Add-ReportLine -Lines $Lines -Text ('Version      : {0}' -f $Facts.Windows.DisplayVersion)
    Add-ReportLine -Lines $Lines -Text ('Build        : {0}' -f $Facts.Windows.Build)
    Add-ReportLine -Lines $Lines -Text ('Architecture : {0}' -f $Facts.Windows.Architecture)
    Add-ReportLine -Lines $Lines -Text ('Admin        : {0}' -f [bool](Test-IsAdministrator))
    Add-ReportLine -Lines $Lines -Text ('Pending reboot: {0}' -f [bool]$script:RestartRequired)
}

# .NET Framework 3.5 and the states of the NetFx3 and DirectPlay features.
function Add-ReportFeatureLines {
    param($Lines, $Facts)
    Add-ReportLine -Lines $Lines -Text ('.NET Framework 3.5 installed : {0}' -f [bool](Test-NetFx35Installed))
    Add-ReportLine -Lines $Lines -Text ('NetFx3 feature state         : {0}' -f (Get-FeatureStateText -FeatureName 'NetFx3'))
    Add-ReportLine -Lines $Lines -Text ('DirectPlay feature state     : {0}' -f (Get-FeatureStateText -FeatureName 'DirectPlay'))
}

# FOUND (with version) or MISSING for each runtime DLL in System32 and, on 64-bit
# Windows, SysWOW64.
function Add-ReportDllLines {
    param($Lines, $Facts)
    $folders = @(Join-Path (Get-WindowsFolder) 'System32')
    if (Test-Is64BitWindows) {
        $folders += Join-Path (Get-WindowsFolder) 'SysWOW64'
    }
    foreach ($folder in $folders) {
        Add-ReportLine -Lines $Lines -Text ('-- {0}' -f $folder)
        foreach ($dllName in $script:ReportDllNames) {
            $dllPath = Join-Path $folder $dllName
            if (Test-Path -LiteralPath $dllPath -PathType Leaf) {
                Add-ReportLine -Lines $Lines -Text ('FOUND   {0,-18} Version {1}' -f $dllName, (Get-FileVersionText -Path $dllPath))
            } else {
                Add-ReportLine -Lines $Lines -Text ('MISSING {0}' -f $dllName)
            }
        }
    }
}

# Visual C++ redistributables from both Uninstall views, one line per distinct name.
function Add-ReportRuntimeLines {
    param($Lines, $Facts)
    $runtimes = @(Get-UninstallEntries | Where-Object { [string]$_.DisplayName -like $script:ReportRuntimePattern } |
            Sort-Object -Property { [string]$_.DisplayName })
    $seen = New-Object 'System.Collections.Generic.HashSet[string]' ([StringComparer]::OrdinalIgnoreCase)
    foreach ($runtime in $runtimes) {
        $name = [string]$runtime.DisplayName
        if (-not $seen.Add($name)) {
            continue
        }
        $version = ''
        if ($null -ne $runtime.PSObject.Properties['DisplayVersion']) {
            $version = [string]$runtime.DisplayVersion
        }
        Add-ReportLine -Lines $Lines -Text ('{0} | {1}' -f $name, $version)
    }
    if ($seen.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No matching entries found.'
    }
}

# Name, driver version and driver date of each video controller.
function Add-ReportGraphicsLines {
    param($Lines, $Facts)
    foreach ($controller in @(Get-CimInstance -ClassName Win32_VideoController -ErrorAction Stop)) {
        Add-ReportLine -Lines $Lines -Text ('Name          : {0}' -f $controller.Name)
        Add-ReportLine -Lines $Lines -Text ('DriverVersion : {0}' -f $controller.DriverVersion)
        Add-ReportLine -Lines $Lines -Text ('DriverDate    : {0}' -f $controller.DriverDate)
    }
}

# Microsoft Defender's status and its newest detections. Only reads; changes nothing.
function Add-ReportDefenderLines {
    param($Lines, $Facts)
    if ($null -eq (Get-Command -Name 'Get-MpComputerStatus' -ErrorAction SilentlyContinue)) {
        Add-ReportLine -Lines $Lines -Text 'Microsoft Defender PowerShell module is unavailable (another antivirus may be installed).'
        return
    }
    $status = Get-MpComputerStatus -ErrorAction Stop
    Add-ReportLine -Lines $Lines -Text ('AntivirusEnabled         : {0}' -f $status.AntivirusEnabled)
    Add-ReportLine -Lines $Lines -Text ('RealTimeProtectionEnabled: {0}' -f $status.RealTimeProtectionEnabled)
    Add-ReportLine -Lines $Lines -Text ('SignatureLastUpdated     : {0}' -f $status.AntivirusSignatureLastUpdated)

    $detections = @()
    try {
        $detections = @(Get-MpThreatDetection -ErrorAction Stop)
    } catch {
        # Detections that cannot be read count as none.
        $detections = @()
    }
    $recent = @($detections | Where-Object { $null -ne $_ } |
            Sort-Object -Property InitialDetectionTime -Descending |
            Select-Object -First $script:ReportMaxDetections)
    if ($recent.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No recent Defender detections returned.'
        return
    }
    Add-ReportLine -Lines $Lines -Text 'Recent detections (up to 10):'
    foreach ($detection in $recent) {
        $resources = @($detection.Resources | Where-Object { $null -ne $_ }) -join '; '
        Add-ReportLine -Lines $Lines -Text ('Time={0}; ThreatID={1}; ActionSuccess={2}; Resources={3}' -f $detection.InitialDetectionTime, $detection.ThreatID, $detection.ActionSuccess, $resources)
    }
}

# Size, version, signature state and SHA-256 of a game file, or of the EXE and DLL
# files directly inside a game folder (at most 100).
function Add-ReportGameFileLines {
    param($Lines, $Facts)
    $item = Get-Item -LiteralPath $Facts.GamePath -Force -ErrorAction Stop
    if ($item.PSIsContainer) {
        $files = @(Get-ChildItem -LiteralPath $item.FullName -File -ErrorAction Stop |
                Where-Object { $_.Extension -eq '.exe' -or $_.Extension -eq '.dll' } |
                Select-Object -First $script:ReportMaxGameFiles)
    } else {
        $files = @($item)
    }
    Add-ReportLine -Lines $Lines -Text ('Target: {0}' -f $item.FullName)
    foreach ($file in $files) {
        $hash = Get-FileHash -LiteralPath $file.FullName -Algorithm SHA256 -ErrorAction Stop
        $signature = Get-AuthenticodeSignature -LiteralPath $file.FullName -ErrorAction Stop
        $version = Get-FileVersionText -Path $file.FullName
        Add-ReportLine -Lines $Lines -Text ('{0} | Size={1} | Version={2} | Signature={3} | SHA256={4}' -f $file.Name, $file.Length, $version, [string]$signature.Status, $hash.Hash)
    }
    if ($files.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No EXE or DLL files found at the selected target.'
    }
}

# The newest error events of the Application log in the report's window, newest first.
# A window without any error event gives none; any other query error is thrown. The window
# is an XPath time difference in milliseconds: a start time in a filter hashtable would be
# turned into text and parsed back under the current culture, which a custom short-date
# format breaks.
function Get-RecentApplicationErrors {
    $windowMilliseconds = ([long]$script:ReportEventHours * 3600000).ToString([System.Globalization.CultureInfo]::InvariantCulture)
    $filter = '*[System[(Level=2) and TimeCreated[timediff(@SystemTime) <= ' + $windowMilliseconds + ']]]'
    try {
        return @(Get-WinEvent -LogName 'Application' -FilterXPath $filter -MaxEvents $script:ReportEventsQueried -ErrorAction Stop)
    } catch {
        if ([string]$_.FullyQualifiedErrorId -like 'NoMatchingEventsFound*') {
            return @()
        }
        throw
    }
}

# Queries the recent error events once for the blocks that use them: Events, and Error
# (the query's error message, or $null when it worked).
function Get-ReportEventQuery {
    try {
        return [pscustomobject]@{ Events = @(Get-RecentApplicationErrors); Error = $null }
    } catch {
        return [pscustomobject]@{ Events = @(); Error = $_.Exception.Message }
    }
}

# Recent crashes and load failures that matter for a game, one line each.
function Add-ReportEventLines {
    param($Lines, $Facts)
    if ($null -ne $Facts.EventQuery.Error) {
        throw (New-Object System.Exception -ArgumentList @(, [string]$Facts.EventQuery.Error))
    }
    $events = @($Facts.EventQuery.Events | Where-Object {
            $null -ne $_ -and $script:ReportEventProviders -contains [string]$_.ProviderName
        } | Select-Object -First $script:ReportEventsShown)
    foreach ($event in $events) {
        $message = ConvertTo-ReportText -Text ([string]$event.Message)
        if ($message.Length -gt $script:ReportEventMessageLength) {
            $message = $message.Substring(0, $script:ReportEventMessageLength) + '...'
        }
        Add-ReportLine -Lines $Lines -Text ('{0} | {1} | Event {2} | {3}' -f $event.TimeCreated, $event.ProviderName, $event.Id, $message)
    }
    if ($events.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No matching recent errors found.'
    }
}

# The prerequisite a runtime DLL belongs to (by file name, letter case ignored, a folder
# in front of the name ignored), or $null for any other module.
function Get-ModulePrerequisite {
    param([AllowEmptyString()][string]$Name)
    $fileName = $Name.Substring($Name.LastIndexOf('\') + 1)
    foreach ($prerequisite in $script:ReportPrerequisites) {
        if ($fileName -match $prerequisite.Modules) {
            return $prerequisite
        }
    }
    return $null
}

# True when the Visual C++ package belongs to the prerequisite row: the package's name is the
# row's name and more ("Visual C++ 2013 x86" of "Visual C++ 2013").
function Test-PackageOfPrerequisite {
    param([Parameter(Mandatory = $true)]$Package, [Parameter(Mandatory = $true)]$Prerequisite)
    return $Package.Name.StartsWith($Prerequisite.Name + ' ', [StringComparison]::Ordinal)
}

# What this run recorded about the prerequisites, from the run record: Entries (every
# completed program, failure and warning) and Installed (the DisplayNames of both
# Uninstall views).
function Get-PrerequisiteRunRecord {
    $installed = @(Get-UninstallEntries | ForEach-Object { [string]$_.DisplayName })
    $entries = $script:RunRecord.ToArray()
    return [pscustomobject]@{ Entries = $entries; Installed = $installed }
}

# What this run says about a prerequisite, the first that holds of:
#   "failed in this run": a failure or warning of it was recorded (of ".NET Framework 3.5",
#       "DirectX legacy runtime" or a Visual C++ package of that version);
#   "was installed or repaired in this run": one of its installers completed in this run;
#   "is present": it is on the machine now (an Uninstall entry or, for Visual C++ 2005, the
#       side-by-side manifest; d3dx9_43.dll in the folder for 32-bit programs; .NET
#       Framework 3.5 detected);
#   "was not checked (diagnostics only)": none of these, as in a run that installs nothing.
function Get-PrerequisiteRunState {
    param([Parameter(Mandatory = $true)]$Prerequisite, [Parameter(Mandatory = $true)]$Record)
    $subjects = @()
    $labels = @()
    if ($null -ne $Prerequisite.PSObject.Properties['Subjects']) {
        $subjects = @($Prerequisite.Subjects)
        $labels = @($Prerequisite.RunnerLabels)
    } else {
        foreach ($package in $script:VisualCppPackages) {
            if (Test-PackageOfPrerequisite -Package $package -Prerequisite $Prerequisite) {
                $subjects += $package.Name
                $labels += Get-VisualCppRunnerLabel -Package $package
            }
        }
    }
    foreach ($entry in $Record.Entries) {
        if ($entry.Outcome -ne 'Completed' -and $subjects -contains $entry.Subject) {
            return 'failed in this run'
        }
    }
    foreach ($entry in $Record.Entries) {
        if ($entry.Outcome -eq 'Completed' -and $labels -contains $entry.Item) {
            return 'was installed or repaired in this run'
        }
    }
    $present = $false
    if ($Prerequisite.Name -eq '.NET Framework') {
        $present = [bool](Test-NetFx35Installed)
    } elseif ($Prerequisite.Name -eq 'DirectX June 2010') {
        $present = Test-Path -LiteralPath (Get-DirectXLegacyDllPath) -PathType Leaf
    } else {
        foreach ($name in $Record.Installed) {
            foreach ($pattern in $Prerequisite.Installed) {
                if ($name -like $pattern) {
                    $present = $true
                }
            }
        }
        if (-not $present -and $Prerequisite.Name -eq 'Visual C++ 2005') {
            $present = [bool](Test-VisualCpp2005Manifest)
        }
    }
    if ($present) {
        return 'is present'
    }
    return 'was not checked (diagnostics only)'
}

# One finding per application and faulting module of the Application Error events (id
# 1000) whose module belongs to a prerequisite, newest first. The names come from the
# event data (application in the first value, module in the fourth), never from the
# message, which Windows writes in the user's language.
function Add-CrashCauses {
    param([Parameter(Mandatory = $true)]$Causes, [Parameter(Mandatory = $true)]$EventQuery)
    if ($null -ne $EventQuery.Error) {
        throw $EventQuery.Error
    }
    $crashes = New-Object 'System.Collections.Specialized.OrderedDictionary' ([StringComparer]::OrdinalIgnoreCase)
    foreach ($event in @($EventQuery.Events)) {
        if ($null -eq $event -or [string]$event.ProviderName -ne 'Application Error' -or [int]$event.Id -ne 1000) {
            continue
        }
        $data = @($event.Properties)
        if ($data.Count -lt 4) {
            continue
        }
        $application = [string]$data[0].Value
        $module = [string]$data[3].Value
        $module = $module.Substring($module.LastIndexOf('\') + 1)
        $prerequisite = Get-ModulePrerequisite -Name $module
        if ($null -eq $prerequisite) {
            continue
        }
        $key = $application + '|' + $module
        if ($crashes.Contains($key)) {
            $crashes[$key].Times++
        } else {
            $crashes[$key] = [pscustomobject]@{ Application = $application; Module = $module; Prerequisite = $prerequisite; Times = 1 }
        }
    }
    if ($crashes.Count -eq 0) {
        return
    }
    $record = Get-PrerequisiteRunRecord
    foreach ($crash in $crashes.Values) {
        $state = Get-PrerequisiteRunState -Prerequisite $crash.Prerequisite -Record $record
        $Causes.Add(('{0} crashed {1} time(s) in {2}: {3} — {4}' -f $crash.Application, $crash.Times, $crash.Module, $crash.Prerequisite.Name, $state))
    }
}

# The machine type in a file's PE header (IMAGE_FILE_HEADER.Machine), read from its bytes
# without loading it; $null when the file is not a PE image.
function Get-PeMachineType {
    param([Parameter(Mandatory = $true)][string]$Path)
    $stream = [System.IO.File]::Open($Path, [System.IO.FileMode]::Open, [System.IO.FileAccess]::Read, [System.IO.FileShare]::ReadWrite)
    try {
        $reader = New-Object System.IO.BinaryReader $stream
        if ($stream.Length -lt 0x40 -or $reader.ReadUInt16() -ne 0x5A4D) {
            return $null
        }
        $stream.Position = 0x3C
        $headerOffset = [long]$reader.ReadUInt32()
        if ($headerOffset -lt 4 -or $headerOffset + 6 -gt $stream.Length) {
            return $null
        }
        $stream.Position = $headerOffset
        if ($reader.ReadUInt32() -ne 0x00004550) {
            return $null
        }
        return [int]$reader.ReadUInt16()
    } finally {
        $stream.Dispose()
    }
}

# "x86", "x64", "ARM64", or "machine 0x...." for any other machine type.
function Get-PeMachineName {
    param([Parameter(Mandatory = $true)][int]$Machine)
    if ($script:ReportPeMachines.ContainsKey($Machine)) {
        return $script:ReportPeMachines[$Machine]
    }
    return ('machine 0x{0}' -f $Machine.ToString('X4', [System.Globalization.CultureInfo]::InvariantCulture))
}

# One finding per runtime DLL of a prerequisite directly in the game folder (the folder
# named, or the folder of the file named; hidden files too, since Windows loads them as
# well), in name order: the game loads it instead of the system's copy. Its machine type is compared with the game EXE's: the EXE named, else the
# largest EXE in the folder. A DLL that is not a PE image is a finding of its own.
function Add-GameFolderCauses {
    param([Parameter(Mandatory = $true)]$Causes, [Parameter(Mandatory = $true)][string]$GamePath)
    $item = Get-Item -LiteralPath $GamePath -Force -ErrorAction Stop
    $exe = $null
    if ($item.PSIsContainer) {
        $folder = $item.FullName
    } else {
        $folder = $item.DirectoryName
        if ($item.Extension -eq '.exe') {
            $exe = $item
        }
    }
    $files = @(Get-ChildItem -LiteralPath $folder -File -Force -ErrorAction Stop | Sort-Object -Property Name)
    if ($null -eq $exe) {
        $exe = $files | Where-Object { $_.Extension -eq '.exe' } | Sort-Object -Property Length -Descending | Select-Object -First 1
    }
    $exeMachine = $null
    if ($null -ne $exe) {
        $exeMachine = Get-PeMachineType -Path $exe.FullName
    }
    foreach ($file in $files) {
        $prerequisite = Get-ModulePrerequisite -Name $file.Name
        if ($null -eq $prerequisite) {
            continue
        }
        $machine = Get-PeMachineType -Path $file.FullName
        if ($null -eq $machine) {
            $Causes.Add(('{0} in the game folder is not a valid PE image ({1})' -f $file.Name, $prerequisite.Name))
        } elseif ($null -ne $exeMachine -and $machine -ne $exeMachine) {
            $Causes.Add(('{0} in the game folder is {1} but {2} is {3}' -f $file.Name, (Get-PeMachineName -Machine $machine), $exe.Name, (Get-PeMachineName -Machine $exeMachine)))
        } else {
            $Causes.Add(('{0} in the game folder is {1} and is loaded instead of the system''s copy ({2})' -f $file.Name, (Get-PeMachineName -Machine $machine), $prerequisite.Name))
        }
    }
}

# One finding when Windows itself notes a pending restart: either servicing key exists, or
# the Session Manager's PendingFileRenameOperations holds an entry. Only reads.
function Add-PendingRestartCauses {
    param([Parameter(Mandatory = $true)]$Causes)
    $sources = @()
    foreach ($source in $script:ReportRestartKeys.Keys) {
        if (Test-Path -LiteralPath $script:ReportRestartKeys[$source]) {
            $sources += $source
        }
    }
    if (Test-Path -LiteralPath $script:ReportSessionManagerKey) {
        $values = Get-ItemProperty -LiteralPath $script:ReportSessionManagerKey
        $renames = $values.PSObject.Properties['PendingFileRenameOperations']
        if ($null -ne $renames -and @(@($renames.Value) | Where-Object { -not [string]::IsNullOrEmpty([string]$_) }).Count -gt 0) {
            $sources += 'PendingFileRenameOperations'
        }
    }
    if ($sources.Count -gt 0) {
        $Causes.Add(('Windows has a restart pending ({0}): restart, then run this tool again.' -f ($sources -join ', ')))
    }
}

# Free bytes on a drive (such as "C:") for the account running the script.
function Get-DriveFreeBytes {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Drive)
    return [long](New-Object System.IO.DriveInfo $Drive).AvailableFreeSpace
}

# One finding when the system drive has less than 2 GB free, in GB cut to one decimal (so
# that 1.99 GB never reads as 2.0). The drive's own colon ends its name in the text:
# "Only 1.9 GB free on C: installers may fail."
function Add-FreeSpaceCauses {
    param([Parameter(Mandatory = $true)]$Causes)
    $drive = Get-SystemDrive
    $free = Get-DriveFreeBytes -Drive $drive
    if ($free -lt $script:ReportLowFreeSpaceBytes) {
        $gigabytes = [Math]::Floor(($free / 1GB) * 10) / 10
        $Causes.Add(('Only {0:0.0} GB free on {1}: installers may fail.' -f $gigabytes, $drive.TrimEnd(':')))
    }
}

# Joins what the report knows into likely causes, in this order: crashes in a
# prerequisite's DLL, runtime DLLs in the game folder (only with a game path), Windows'
# own pending restart and low free space on the system drive. Each check is guarded: its
# error becomes "Unable to check <what>: <message>" after its findings so far. At most 20
# lines; "No likely cause found." when there is none.
function Add-ReportLikelyCauseLines {
    param($Lines, $Facts)
    $causes = New-Object System.Collections.Generic.List[string]
    try {
        Add-CrashCauses -Causes $causes -EventQuery $Facts.EventQuery
    } catch {
        $causes.Add(('Unable to check crashes: {0}' -f $_.Exception.Message))
    }
    if (-not [string]::IsNullOrWhiteSpace($Facts.GamePath)) {
        try {
            Add-GameFolderCauses -Causes $causes -GamePath $Facts.GamePath
        } catch {
            $causes.Add(('Unable to check game folder DLLs: {0}' -f $_.Exception.Message))
        }
    }
    try {
        Add-PendingRestartCauses -Causes $causes
    } catch {
        $causes.Add(('Unable to check pending restart: {0}' -f $_.Exception.Message))
    }
    try {
        Add-FreeSpaceCauses -Causes $causes
    } catch {
        $causes.Add(('Unable to check free space: {0}' -f $_.Exception.Message))
    }
    if ($causes.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No likely cause found.'
    }
    foreach ($cause in @($causes | Select-Object -First $script:ReportMaxCauses)) {
        Add-ReportLine -Lines $Lines -Text $cause
    }
}

# Failures and warnings of this run and the path of its log file.
function Add-ReportResultLines {
    param($Lines, $Facts)
    if ($script:Failures.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'Critical failures: none'
    }
    foreach ($failure in $script:Failures) {
        Add-ReportLine -Lines $Lines -Text ('FAIL: {0}' -f $failure)
    }
    if ($script:Warnings.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'Warnings: none'
    }
    foreach ($warning in $script:Warnings) {
        Add-ReportLine -Lines $Lines -Text ('WARN: {0}' -f $warning)
    }
    foreach ($build in $script:UnknownBuilds) {
        Add-ReportLine -Lines $Lines -Text ('{0} (unknown build): SHA-256 {1}' -f $build.Label, $build.Hash)
    }
    Add-ReportLine -Lines $Lines -Text ('Setup log: {0}' -f $script:LogPath)
}

# Writes the lines as UTF-8 with a byte-order mark, CR LF after every line, into a new file
# (New-FreshFile): the same bytes under Windows PowerShell 5.1 and PowerShell 7.
function Write-ReportFile {
    param([Parameter(Mandatory = $true)][string]$Path, [Parameter(Mandatory = $true)][AllowEmptyCollection()]$Lines)
    $encoding = New-Object System.Text.UTF8Encoding $true
    $builder = New-Object System.Text.StringBuilder
    foreach ($line in $Lines) {
        $null = $builder.Append($line).Append("`r`n")
    }
    $preamble = $encoding.GetPreamble()
    $body = $encoding.GetBytes($builder.ToString())
    $bytes = New-Object byte[] ($preamble.Length + $body.Length)
    [System.Array]::Copy($preamble, 0, $bytes, 0, $preamble.Length)
    [System.Array]::Copy($body, 0, $bytes, $preamble.Length, $body.Length)
    New-FreshFile -Path $Path -Bytes $bytes
}

# Describes the machine and this run's outcome in a new text file on the desktop (or in
# TEMP) and returns the file's full path. Only reads the machine. Blocks that query
# optional sources record their own errors in the report; anything else throws and no
# file is written.
function New-DiagnosticReport {
    param([string]$RequestedGamePath = '')
    $now = Get-Date
    $culture = [System.Globalization.CultureInfo]::CurrentCulture
    $reportPath = Join-Path (Get-ReportFolder) ('ORVELLE-Diagnostic-{0}.txt' -f $now.ToString('yyyyMMdd-HHmmss', $culture))
    $lines = New-Object System.Collections.Generic.List[string]
    # What more than one block uses is read once: the build record and the recent errors.
    $facts = [pscustomobject]@{ Windows = (Get-WindowsBuildInfo); GamePath = $RequestedGamePath; EventQuery = (Get-ReportEventQuery) }

    Add-ReportLine -Lines $lines -Text 'ORVELLE GAME SUPPORT - DIAGNOSTIC REPORT'
    Add-ReportLine -Lines $lines -Text ('Tool version : {0}' -f $script:ToolVersion)
    Add-ReportLine -Lines $lines -Text ('Created      : {0}' -f $now.ToString('yyyy-MM-dd HH:mm:ss zzz', $culture))
    Add-ReportLine -Lines $lines -Text ('Computer     : {0}' -f $env:COMPUTERNAME)
    foreach ($block in $script:ReportBlocks) {
        if ($block.NeedsGamePath -and [string]::IsNullOrWhiteSpace($RequestedGamePath)) {
            continue
        }
        Add-ReportBlock -Lines $lines -Block $block -Facts $facts
    }
    Add-ReportLine -Lines $lines
    Add-ReportLine -Lines $lines -Text $script:ReportPrivacyNote

    Write-ReportFile -Path $reportPath -Lines $lines
    Write-Log -Message ('Diagnostic report created: {0}' -f $reportPath) -Level OK
    return $reportPath
}
#endregion

#region Completion message

# Texts of the message box, shown as they stand (this file is UTF-8 with a byte-order mark).
$script:CompletionSuccessText = 'ติดตั้ง/ซ่อมแซมส่วนประกอบพื้นฐานเสร็จแล้ว'
$script:CompletionAttentionText = 'ดำเนินการเสร็จแล้ว แต่มีบางรายการต้องตรวจสอบจากรายงานบน Desktop'
$script:CompletionRestartText = 'กรุณารีสตาร์ต Windows ก่อนเข้าเกม'

# Shows a modal Windows Forms message box with an OK button and waits until it is closed.
# Throws when Windows Forms or an interactive desktop is unavailable.
function Show-MessageBox {
    param(
        [Parameter(Mandatory = $true)][string]$Text,
        [Parameter(Mandatory = $true)][string]$Caption,
        [Parameter(Mandatory = $true)][ValidateSet('Information', 'Warning')][string]$Icon
    )
    Add-Type -AssemblyName System.Windows.Forms
    $null = [System.Windows.Forms.MessageBox]::Show($Text, $Caption, [System.Windows.Forms.MessageBoxButtons]::OK, [System.Windows.Forms.MessageBoxIcon]$Icon)
}

# Ends a run that wrote its report: a coloured summary in the console, then a message box
# in Thai. Success form when no failure was recorded (warnings do not count), attention
# form otherwise; both ask for a restart when an installer needs one. No box in an
# unattended run or where nobody could answer it (Test-SessionCanShowMessageBox); a message
# box that cannot be shown is passed over silently.
function Show-CompletionMessage {
    param([string]$ReportPath)
    $rule = '=' * 47
    if ($script:Failures.Count -eq 0) {
        $colour = 'Green'
        $banner = '  INSTALLATION / REPAIR COMPLETED'
        $icon = 'Information'
        $boxText = $script:CompletionSuccessText
    } else {
        $colour = 'Yellow'
        $banner = '  COMPLETED WITH ITEMS THAT NEED ATTENTION'
        $icon = 'Warning'
        $boxText = $script:CompletionAttentionText
    }
    $restart = [bool]$script:RestartRequired

    Write-Host ''
    Write-Host $rule -ForegroundColor $colour
    Write-Host $banner -ForegroundColor $colour
    Write-Host $rule -ForegroundColor $colour
    Write-Host ('Diagnostic report: {0}' -f $ReportPath) -ForegroundColor White
    if ($restart) {
        Write-Host 'Please restart Windows before opening the game.' -ForegroundColor Yellow
    } else {
        Write-Host 'You can try opening the Cindral Online launcher now.' -ForegroundColor Cyan
    }
    Write-Host 'This tool did not disable antivirus or add Defender exclusions.' -ForegroundColor Gray
    Write-Host ''

    if ($script:RunUnattended -or -not (Test-SessionCanShowMessageBox)) {
        return
    }
    if ($restart) {
        $boxText = $boxText + "`r`n" + $script:CompletionRestartText
    }
    try {
        Show-MessageBox -Text $boxText -Caption $script:ToolName -Icon $icon
    } catch {
        # No box without Windows Forms or a desktop; the console summary already stands.
    }
}
#endregion

#region Detection for deployment tools

# What the detection script prints when every prerequisite is present ({0} the tool name,
# {1} its version). Deployment tools read any output with exit code 0 as "installed".
$script:DetectionPresentFormat = '{0} {1}: every prerequisite is present.'

# True when the package's runtime has an Uninstall entry of the package's architecture
# named as the report's prerequisite table names that runtime (the row whose name begins
# the package's name).
function Test-VisualCppPackageInstalled {
    param([Parameter(Mandatory = $true)]$Package)
    foreach ($row in $script:ReportPrerequisites) {
        if (-not (Test-PackageOfPrerequisite -Package $Package -Prerequisite $row) -or $null -eq $row.PSObject.Properties['Installed']) {
            continue
        }
        foreach ($pattern in $row.Installed) {
            if ($null -ne (Get-InstalledVisualCppRuntime -DisplayNamePattern $pattern -Architecture $Package.Architecture)) {
                return $true
            }
        }
    }
    return $false
}

# The names of the prerequisites this tool installs that this Windows lacks, found by the
# rules the setup steps use: .NET Framework 3.5 (Test-NetFx35Installed), DirectPlay (its
# feature reads Enabled), each Visual C++ package of this Windows
# (Test-VisualCppPackageInstalled) and the DirectX DLL the DirectX step verifies. Only reads
# the machine.
function Get-MissingPrerequisites {
    $missing = New-Object System.Collections.Generic.List[string]
    if (-not (Test-NetFx35Installed)) {
        $missing.Add('.NET Framework 3.5')
    }
    $directPlay = ''
    try {
        $directPlay = Get-OptionalFeatureState -FeatureName 'DirectPlay'
    } catch {
        # An unreadable state is no proof that DirectPlay is there.
    }
    if ($directPlay -ne 'Enabled') {
        $missing.Add('DirectPlay')
    }
    foreach ($package in @(Get-VisualCppPackageList)) {
        if (-not (Test-VisualCppPackageInstalled -Package $package)) {
            $missing.Add($package.Name)
        }
    }
    if (-not (Test-Path -LiteralPath (Get-DirectXLegacyDllPath) -PathType Leaf)) {
        $missing.Add('DirectX legacy runtime')
    }
    return , $missing.ToArray()
}

# The whole run of the detection script that the build makes from this file: prints one
# line when nothing is missing and nothing otherwise, and returns 0 either way (deployment
# tools read "no output" as "not installed" and any other code as a failed check). A 32-bit
# PowerShell on 64-bit Windows hands over to the 64-bit one first, as the setup does, and
# returns its code. Writes no log and no file; lines the checks would log are dropped.
function Invoke-PrerequisiteDetection {
    $nativeExitCode = Invoke-NativePowerShellCopy
    if ($null -ne $nativeExitCode) {
        return $nativeExitCode
    }
    $missing = Get-MissingPrerequisites 6>$null
    if (@($missing).Count -eq 0) {
        Write-Host ($script:DetectionPresentFormat -f $script:ToolName, $script:ToolVersion)
    }
    return 0
}
#endregion

#region Main sequence

# Clears the console (not in an unattended run) and prints the banner.
function Show-Banner {
    $rule = '=' * 47
    try {
        if (-not $script:RunUnattended) {
            Clear-Host
        }
    } catch {
        # Hosts without a real console (redirected output) cannot clear it; the run goes on.
    }
    Write-Host $rule -ForegroundColor Cyan
    Write-Host ('        {0} {1}' -f $script:ToolName, $script:ToolVersion) -ForegroundColor White
    Write-Host $rule -ForegroundColor Cyan
    Write-Host 'Official Microsoft downloads + signature checks' -ForegroundColor DarkGray
    Write-Host 'No antivirus disabling / no automatic exclusions' -ForegroundColor DarkGray
}

# Runs one step of the setup: an error it throws becomes one failure of Subject (or, with
# -WarningOnly, one warning), "<Subject>: <error>", with the kind the error carries, and the
# run goes on with the next step.
function Invoke-SetupStep {
    param(
        [Parameter(Mandatory = $true)][string]$Subject,
        [Parameter(Mandatory = $true)][scriptblock]$Action,
        [switch]$WarningOnly
    )
    try {
        & $Action
    } catch {
        $message = '{0}: {1}' -f $Subject, $_.Exception.Message
        if ($WarningOnly) {
            Add-Warning -Message $message -Subject $Subject -Cause $_
        } else {
            Add-Failure -Message $message -Subject $Subject -Cause $_
        }
    }
}

# Exit codes that deployment tools read from an unattended run: done but Windows must
# restart, and Windows Installer busy with another installation (the tool retries later).
$script:ExitCodeRestartRequired = 3010
$script:ExitCodeInstallerBusy = 1618

# True when a failure of the run record is Windows Installer being busy: its kind says so,
# or an installer ended with the busy code.
function Test-InstallerBusyFailure {
    param([Parameter(Mandatory = $true)]$Entry)
    return ($Entry.Kind -eq 'InstallerBusy' -or ($Entry.Kind -eq 'ExitCode' -and $Entry.ExitCode -eq $script:ExitCodeInstallerBusy))
}

# The exit code of a run that finished its steps: 1 when the run record holds a failure,
# otherwise 0. An unattended run says more: 1618 when every failure was Windows Installer
# being busy, 3010 when nothing failed but Windows must restart.
function Get-RunExitCode {
    $failures = @($script:RunRecord | Where-Object { $_.Outcome -eq 'Failed' })
    if ($failures.Count -gt 0) {
        if ($script:RunUnattended -and @($failures | Where-Object { -not (Test-InstallerBusyFailure -Entry $_) }).Count -eq 0) {
            return $script:ExitCodeInstallerBusy
        }
        return 1
    }
    if ($script:RunUnattended -and $script:RestartRequired) {
        return $script:ExitCodeRestartRequired
    }
    return 0
}

# Runs the whole setup (or the report alone) and returns the exit code: 0 no failure,
# 1 a failure or a fatal error, 3 not Windows NT; unattended also 3010 and 1618 (see
# Get-RunExitCode). Each step records its own problems; anything else lands in the fatal
# handler, which still writes the report. An unattended run without administrator rights
# fails: nobody is there to answer the elevation prompt.
function Invoke-SetupSequence {
    param(
        [switch]$DiagnosticsOnly,
        [string]$GamePath = '',
        [switch]$Unattended
    )
    $script:RunUnattended = [bool]$Unattended
    try {
        if ($env:OS -ne 'Windows_NT') {
            Write-Host 'This tool supports Windows 10 and Windows 11 only.' -ForegroundColor Red
            return 3
        }
        $nativeExitCode = Invoke-NativePowerShellCopy -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath
        if ($null -ne $nativeExitCode) {
            return $nativeExitCode
        }
        if (-not (Test-IsAdministrator)) {
            if ($script:RunUnattended) {
                throw 'An unattended run needs administrator rights.'
            }
            Start-ElevatedCopy -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath
            return 0
        }

        [Net.ServicePointManager]::SecurityProtocol = [Net.SecurityProtocolType]::Tls12
        Initialize-SetupFolders
        Show-Banner

        $windows = Get-WindowsBuildInfo
        Write-Log -Message ('Detected {0}, version {1}, build {2}, {3}.' -f $windows.Caption, $windows.DisplayVersion, $windows.Build, $windows.Architecture) -Level INFO
        if ($windows.Build -lt 10240) {
            throw 'Windows 10 or Windows 11 is required.'
        }

        if ($DiagnosticsOnly) {
            Write-Step -Number 1 -Total 1 -Message 'Creating diagnostic report'
            $reportPath = New-DiagnosticReport -RequestedGamePath $GamePath
            Show-CompletionMessage -ReportPath $reportPath
            return 0
        }

        Write-Step -Number 1 -Total 5 -Message 'Installing / repairing .NET Framework 3.5'
        Invoke-SetupStep -Subject '.NET Framework 3.5' -Action { Install-NetFx35 -WindowsBuild $windows.Build }

        Write-Step -Number 2 -Total 5 -Message 'Enabling DirectPlay for legacy games'
        Invoke-SetupStep -Subject 'DirectPlay' -Action { Install-DirectPlay } -WarningOnly

        Write-Step -Number 3 -Total 5 -Message 'Installing Microsoft Visual C++ runtimes'
        Install-VisualCppRuntimes

        Write-Step -Number 4 -Total 5 -Message 'Installing DirectX legacy game components'
        Invoke-SetupStep -Subject 'DirectX legacy runtime' -Action { Install-DirectXLegacy }

        Write-Step -Number 5 -Total 5 -Message 'Creating support report'
        $reportPath = New-DiagnosticReport -RequestedGamePath $GamePath
        Show-CompletionMessage -ReportPath $reportPath
        return (Get-RunExitCode)
    } catch {
        $message = $_.Exception.Message
        try {
            Add-Failure -Message ('Fatal error: {0}' -f $message) -Subject 'Setup' -Cause (New-RunFailure -Message $message -Kind Fatal)
        } catch {
            Write-Host $message -ForegroundColor Red
        }
        try {
            $reportPath = New-DiagnosticReport -RequestedGamePath $GamePath
            Show-CompletionMessage -ReportPath $reportPath
        } catch {
            # Without a report there is nothing more to show; the exit code says enough.
        }
        return 1
    }
}
#endregion

if ($MyInvocation.InvocationName -ne '.') {
    exit (Invoke-SetupSequence -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath -Unattended:$Unattended)
}
