## Parameters and settings: the script's help text, its parameters, strict mode 2.0,
## errors as exceptions, no progress bars, UTF-8 console output, and PowerShell modules
## pinned to Windows' own module folders before anything can load one. This part opens the
## assembled script and uses nothing from the others.

<#
ORVELLE GAME SUPPORT - setup and repair of a PC game's prerequisites.

Installs or repairs .NET Framework 3.5, DirectPlay, the Visual C++ runtimes and the
legacy DirectX runtime, then writes a plain-text diagnostic report to the desktop.
The launcher runs this file with Windows PowerShell 5.1 and no parameters (with -Unattended
when it was started with /quiet); run it by hand with -DiagnosticsOnly (report only) and
-GamePath (a game folder or file to describe). -Unattended is for deployment tools that run
it as SYSTEM: no console clearing, no message box, the report under ProgramData.
-Layout <folder> fills a package folder with every installer any supported Windows may need
(and installs nothing); -PackageSource <folder> takes installers from such a folder before
downloading them. The launcher passes its own folder as -LauncherFolder: a package folder
named ORVELLE-Game-Support-Packages beside the executable is used too. Folders are full paths.

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
    [switch]$Unattended,
    [string]$Layout = '',
    [string]$PackageSource = '',
    [string]$LauncherFolder = ''
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
