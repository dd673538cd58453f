<#
ORVELLE GAME SUPPORT 1.0.2 - setup and repair of a PC game's prerequisites.

Installs or repairs .NET Framework 3.5, DirectPlay, the Visual C++ runtimes and the
legacy DirectX runtime, then writes a plain-text diagnostic report to the desktop.
The launcher runs this file with Windows PowerShell 5.1 and no parameters; run it by
hand with -DiagnosticsOnly (report only) and -GamePath (a game folder or file to describe).

Exit codes: 0 no failure recorded (also after handing over to an elevated copy),
            1 at least one failure or a fatal error, 3 not Windows NT.

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
    [string]$GamePath = ''
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'
$ProgressPreference = 'SilentlyContinue'
try {
    $utf8NoBom = New-Object System.Text.UTF8Encoding $false
    [Console]::OutputEncoding = $utf8NoBom
    $OutputEncoding = $utf8NoBom
} catch {
    # Without a real console (redirected or hosted) the encoding cannot be set; output still works.
}

#region State shared by every section
$script:ToolName = 'ORVELLE GAME SUPPORT'
$script:ToolVersion = '1.0.2'
$script:RestartRequired = $false
$script:Failures = New-Object System.Collections.Generic.List[string]
$script:Warnings = New-Object System.Collections.Generic.List[string]
$script:LogPath = ''
$script:WorkDir = ''
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

# Records a critical problem: the run will end with exit code 1.
function Add-Failure {
    param([Parameter(Mandatory = $true)][string]$Message)
    $script:Failures.Add($Message)
    Write-Log -Message $Message -Level ERROR
}

# Records a non-critical problem: listed in the report, exit code unchanged.
function Add-Warning {
    param([Parameter(Mandatory = $true)][string]$Message)
    $script:Warnings.Add($Message)
    Write-Log -Message $Message -Level WARN
}
#endregion

#region Rights and Windows build

# True when the current Windows identity is in the built-in Administrators role.
function Test-IsAdministrator {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    return $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)
}

# True when the operating system is 64-bit, whatever the bitness of this process.
function Test-Is64BitOperatingSystem {
    return [Environment]::Is64BitOperatingSystem
}

# Quotes one command-line argument so that Windows' argument parsing gives it back
# unchanged. Double quotes must already be gone. Backslashes right before the closing
# quote are doubled, or "C:\Games\" would reach the child as C:\Games" and swallow the
# arguments after it.
function ConvertTo-QuotedArgument {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Value)
    return '"' + ($Value -replace '(\\+)$', '$1$1') + '"'
}

# Starts this script again through the elevation prompt with the same -DiagnosticsOnly
# and -GamePath values; does not wait. A declined prompt throws to the caller.
function Start-ElevatedCopy {
    param(
        [switch]$DiagnosticsOnly,
        [string]$GamePath = ''
    )
    $arguments = @('-NoLogo', '-NoProfile', '-ExecutionPolicy', 'Bypass', '-File', (ConvertTo-QuotedArgument -Value $PSCommandPath))
    if ($DiagnosticsOnly) {
        $arguments += '-DiagnosticsOnly'
    }
    if (-not [string]::IsNullOrWhiteSpace($GamePath)) {
        $arguments += '-GamePath'
        $arguments += ConvertTo-QuotedArgument -Value ($GamePath -replace '"', '')
    }
    $powerShell = "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe"
    $null = Start-Process -FilePath $powerShell -ArgumentList ($arguments -join ' ') -Verb RunAs
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
    if (Test-Is64BitOperatingSystem) {
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

#region Work and log folders

# Sets WorkDir and LogPath and creates the work folder, the log folder and a fresh,
# empty log file named after the start time.
function Initialize-SetupFolders {
    $baseDir = Join-Path $env:ProgramData 'ORVELLE\Game Support'
    $script:WorkDir = Join-Path $baseDir 'Downloads'
    $logDir = Join-Path $baseDir 'Logs'
    $null = New-Item -ItemType Directory -Path $script:WorkDir -Force
    $null = New-Item -ItemType Directory -Path $logDir -Force
    $logFile = Join-Path $logDir ('Setup-{0}.log' -f (Get-Date).ToString('yyyyMMdd-HHmmss'))
    $script:LogPath = $logFile
    [System.IO.File]::WriteAllBytes($logFile, [byte[]]@())
}
#endregion

#region Checked process runner
#endregion

#region Verified Microsoft download
#endregion

#region Windows features: .NET Framework 3.5 and DirectPlay
#endregion

#region Visual C++ runtimes
#endregion

#region DirectX legacy runtime
#endregion

#region Diagnostic report
#endregion

#region Completion message
#endregion

#region Main sequence

# Clears the console and prints the banner.
function Show-Banner {
    $rule = '=' * 47
    Clear-Host
    Write-Host $rule -ForegroundColor Cyan
    Write-Host ('        {0} {1}' -f $script:ToolName, $script:ToolVersion) -ForegroundColor White
    Write-Host $rule -ForegroundColor Cyan
    Write-Host 'Official Microsoft downloads + signature checks' -ForegroundColor DarkGray
    Write-Host 'No antivirus disabling / no automatic exclusions' -ForegroundColor DarkGray
}

# Runs the whole setup (or the report alone) and returns the exit code: 0 no failure,
# 1 a failure or a fatal error, 3 not Windows NT. Each step records its own problems;
# anything else lands in the fatal handler, which still writes the report.
function Invoke-SetupSequence {
    param(
        [switch]$DiagnosticsOnly,
        [string]$GamePath = ''
    )
    try {
        if ($env:OS -ne 'Windows_NT') {
            Write-Host 'This tool supports Windows 10 and Windows 11 only.' -ForegroundColor Red
            return 3
        }
        if (-not (Test-IsAdministrator)) {
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
        try {
            Install-NetFx35 -WindowsBuild $windows.Build
        } catch {
            Add-Failure -Message ('.NET Framework 3.5: {0}' -f $_.Exception.Message)
        }

        Write-Step -Number 2 -Total 5 -Message 'Enabling DirectPlay for legacy games'
        try {
            Install-DirectPlay
        } catch {
            Add-Warning -Message ('DirectPlay: {0}' -f $_.Exception.Message)
        }

        Write-Step -Number 3 -Total 5 -Message 'Installing Microsoft Visual C++ runtimes'
        Install-VisualCppRuntimes

        Write-Step -Number 4 -Total 5 -Message 'Installing DirectX legacy game components'
        try {
            Install-DirectXLegacy
        } catch {
            Add-Failure -Message ('DirectX legacy runtime: {0}' -f $_.Exception.Message)
        }

        Write-Step -Number 5 -Total 5 -Message 'Creating support report'
        $reportPath = New-DiagnosticReport -RequestedGamePath $GamePath
        Show-CompletionMessage -ReportPath $reportPath

        if ($script:Failures.Count -gt 0) {
            return 1
        }
        return 0
    } catch {
        $message = $_.Exception.Message
        try {
            Add-Failure -Message ('Fatal error: {0}' -f $message)
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
    exit (Invoke-SetupSequence -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath)
}
