## Visual C++ runtimes: the package table, the installed-runtime query, and the loop that
## downloads and runs each package (a failed v14 package is a failure, an older one a
## warning; v14 is confirmed through its runtime key). Uses rights and Windows, the secured
## folders, the verified download, the installers' logs, the output and the state (WorkDir).

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
# ("<runner label>-install-<16 hex>.log", a new name each run) and are confirmed through the
# key each writes for its architecture: Installed = 1 and a Version at least the package's
# own. The key of the x86 runtime is in the 32-bit view on 64-bit Windows.
$script:VisualCppV14Prefix = 'Visual C++ v14 '
$script:VisualCppV14LogArguments = ' /log "{0}"'
$script:VisualCppV14RuntimeKey = 'HKLM:\SOFTWARE\Microsoft\VisualStudio\14.0\VC\Runtimes\{0}'
$script:VisualCppV14RuntimeKeyWow6432 = 'HKLM:\SOFTWARE\WOW6432Node\Microsoft\VisualStudio\14.0\VC\Runtimes\{0}'
# What a v14 package says of itself in its version resource: Microsoft's own file name for
# it and its product name, which Microsoft has worded "Microsoft Visual C++ 2015-2022
# Redistributable (x64) - 14.x" and "Microsoft Visual C++ v14 Redistributable (x64) - 14.x"
# ({0} the architecture). A cached copy is used only when it says so.
$script:VisualCppV14OriginalFilename = 'VC_redist.{0}.exe'
$script:VisualCppV14ProductPattern = '^Microsoft Visual C\+\+ (2015-20\d\d|v14) Redistributable \({0}\)'
$script:VisualCppV14NotConfirmedFormat = '{0} ended with exit code {1}, but the v14 {2} runtime is not confirmed: Windows registers version {3} and the package is version {4}.'

# True for a v14 row of the package table.
function Test-VisualCppV14Package {
    param([Parameter(Mandatory = $true)]$Package)
    return $Package.Name.StartsWith($script:VisualCppV14Prefix, [StringComparison]::Ordinal)
}

# A new path for a v14 package's own log in the work folder (logs of earlier runs are
# removed where they can be).
function New-VisualCppInstallLogPath {
    param([Parameter(Mandatory = $true)]$Package)
    return (New-RunFilePath -Folder $script:WorkDir -Stem ('{0}-install' -f (Get-VisualCppRunnerLabel -Package $Package)) -Extension '.log')
}

# The version text of a registered v14 runtime ("v14.44.35211.00") as a version, or $null.
function ConvertTo-RuntimeVersion {
    param([AllowNull()][AllowEmptyString()][string]$Text)
    $version = $null
    if ([string]::IsNullOrWhiteSpace($Text) -or -not [version]::TryParse($Text.Trim().TrimStart('v', 'V'), [ref]$version)) {
        return $null
    }
    return $version
}

# What a cached v14 package of the row must be: the program Microsoft ships for its
# architecture, not older than the runtime this PC registers now (when it registers one).
function Get-VisualCppV14Expectation {
    param([Parameter(Mandatory = $true)]$Package)
    return [pscustomobject]@{
        OriginalFilename = $script:VisualCppV14OriginalFilename -f $Package.Architecture
        ProductPattern   = $script:VisualCppV14ProductPattern -f $Package.Architecture
        NotOlderThan     = ConvertTo-RuntimeVersion -Text (Get-VisualCppV14RegisteredVersion -Architecture $Package.Architecture)
    }
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
# (kind NotRegistered) unless the v14 runtime of the package's architecture is registered,
# and a failure of kind NotConfirmed naming both versions unless the registered version is
# at least the version of the package just run (FilePath): a key left by an older runtime
# proves nothing about this package. Logs the registered version otherwise. Exit code 1638
# (a newer version is present) is no proof alone.
function Confirm-VisualCppV14Runtime {
    param([Parameter(Mandatory = $true)]$Package, [Parameter(Mandatory = $true)][int]$ExitCode, [Parameter(Mandatory = $true)][string]$FilePath)
    $label = Get-VisualCppRunnerLabel -Package $Package
    $version = Get-VisualCppV14RegisteredVersion -Architecture $Package.Architecture
    if ($null -eq $version) {
        throw (New-RunFailure -Message ('{0} ended with exit code {1}, but the v14 {2} runtime is not registered.' -f $label, $ExitCode, $Package.Architecture) -Kind NotRegistered -ExitCode $ExitCode)
    }
    $registered = ConvertTo-RuntimeVersion -Text $version
    $packageVersion = (Get-FileVersionResource -Path $FilePath).FileVersion
    if ($null -eq $registered -or $null -eq $packageVersion -or $registered -lt $packageVersion) {
        $packageText = 'unknown'
        if ($null -ne $packageVersion) { $packageText = $packageVersion.ToString() }
        throw (New-RunFailure -Message ($script:VisualCppV14NotConfirmedFormat -f $label, $ExitCode, $Package.Architecture, $version, $packageText) -Kind NotConfirmed -ExitCode $ExitCode)
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
    $logPath = New-VisualCppInstallLogPath -Package $Package
    $arguments = $Package.Args + ($script:VisualCppV14LogArguments -f $logPath)
    try {
        $exitCode = Invoke-VerifiedInstaller -FilePath $FilePath -Arguments $arguments -SuccessCodes $script:VisualCppSuccessCodes -Label (Get-VisualCppRunnerLabel -Package $Package) -WindowsInstaller
        Confirm-VisualCppV14Runtime -Package $Package -ExitCode $exitCode -FilePath $FilePath
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
            $expected = $null
            if (Test-VisualCppV14Package -Package $package) {
                $expected = Get-VisualCppV14Expectation -Package $package
            }
            $installer = Get-VerifiedMicrosoftFile -Url $package.Url -FallbackUrl $package.FallbackUrl -Destination $destination -Label $package.Name -Expected $expected
            $runnerLabel = Get-VisualCppRunnerLabel -Package $package
            if (Test-VisualCppV14Package -Package $package) {
                Install-VisualCppV14Package -Package $package -FilePath $installer
                continue
            }
            $null = Invoke-VerifiedInstaller -FilePath $installer -Arguments $package.Args -SuccessCodes $script:VisualCppSuccessCodes -Label $runnerLabel -WindowsInstaller
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
