## Windows Installer's turn: waits while another installation holds Windows Installer and
## gives a package that ends with 1618 one more turn. Uses the process runner and the output.

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
