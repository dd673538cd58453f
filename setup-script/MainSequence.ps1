## Main sequence: the five steps, each recording its own problems, the fatal handler that
## still writes the report, and the exit code; its last statement runs the setup when the
## file is run, never when it is dot-sourced. Uses every part before it.

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
# fails: nobody is there to answer the elevation prompt. The folders the run checked stay
# held until it ends. With -Layout it fills that package folder instead (returning 0 when
# every package is there, 1 otherwise) and writes no report; a -Layout or -PackageSource
# folder that is not a full path without double quotes ends the run with 1 before anything
# else.
function Invoke-SetupSequence {
    param(
        [switch]$DiagnosticsOnly,
        [string]$GamePath = '',
        [switch]$Unattended,
        # Fill this package folder instead of setting up (see Invoke-PackageLayout).
        [string]$Layout = '',
        # Take installers from this package folder before downloading them.
        [string]$PackageSource = '',
        # The launcher's own folder: a package folder named so beside it is used too.
        [string]$LauncherFolder = ''
    )
    $script:RunUnattended = [bool]$Unattended
    $script:LayoutFolder = $Layout
    $script:PackageSourceFolder = $PackageSource
    $script:LauncherFolder = $LauncherFolder
    try {
        if ($env:OS -ne 'Windows_NT') {
            Write-Host 'This tool supports Windows 10 and Windows 11 only.' -ForegroundColor Red
            return 3
        }
        # A folder given by hand is refused before anything is fetched or elevated.
        foreach ($folder in @(@('-Layout', $Layout), @('-PackageSource', $PackageSource))) {
            if ($folder[1] -ne '' -and -not (Test-FullFolderPath -Path $folder[1])) {
                Write-Host ($script:FolderArgumentFormat -f $folder[0], $folder[1]) -ForegroundColor Red
                return 1
            }
        }
        if ($LauncherFolder -ne '' -and -not (Test-FullFolderPath -Path $LauncherFolder)) {
            $script:LauncherFolder = ''
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
        if ($Layout -ne '') {
            return (Invoke-PackageLayout -Folder $Layout)
        }
        if ($windows.Build -lt 10240) {
            throw 'Windows 10 or Windows 11 is required.'
        }

        Initialize-PackageFolder
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
        if ($Layout -ne '') {
            # A layout writes no report.
            return 1
        }
        try {
            $reportPath = New-DiagnosticReport -RequestedGamePath $GamePath
            Show-CompletionMessage -ReportPath $reportPath
        } catch {
            # Without a report there is nothing more to show; the exit code says enough.
        }
        return 1
    } finally {
        # Downloads kept for this run's installers go, and the folders it held are let go,
        # whatever happened.
        Remove-RunFolders
        Close-HeldFolders
    }
}
#endregion

if ($MyInvocation.InvocationName -ne '.') {
    exit (Invoke-SetupSequence -DiagnosticsOnly:$DiagnosticsOnly -GamePath $GamePath -Unattended:$Unattended -Layout $Layout -PackageSource $PackageSource -LauncherFolder $LauncherFolder)
}
