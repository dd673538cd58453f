## Rights and Windows: administrator and SYSTEM checks, whether a message box could be seen,
## the elevated copy and the 64-bit copy of this script, and the Windows build record. Uses
## Get-WindowsFolder (parameters) and the state (RunUnattended).

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
# -GamePath values, -Unattended when this run is, and the folders it was given (-Layout,
# -PackageSource, -LauncherFolder; full paths without double quotes by then). A game path of
# only double quotes or blanks is no game path.
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
    foreach ($folder in @(@('-Layout', $script:LayoutFolder), @('-PackageSource', $script:PackageSourceFolder), @('-LauncherFolder', $script:LauncherFolder))) {
        if (-not [string]::IsNullOrEmpty($folder[1])) {
            $arguments += $folder[0]
            $arguments += ConvertTo-QuotedArgument -Value $folder[1]
        }
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
