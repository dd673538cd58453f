## Checked process runner: runs a program hidden, waits for it and everything it started
## (with minute lines and a time limit), copies its output into the log and turns an exit
## code outside the caller's list into an exception. Uses the secured folders
## (Remove-FileQuietly), the output and the state (WorkDir, RestartRequired).

#region Checked process runner

# Installer exit codes that mean "done, but Windows must restart": 3010 restart required,
# 1641 restart already started. They set RestartRequired wherever they occur.
$script:RestartExitCodes = @(3010, 1641)

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

# When the started program was created (local time, as the process table gives it), or
# Fallback, the time just before it was started, when Windows does not say.
function Get-ProcessStartTime {
    param([Parameter(Mandatory = $true)]$Process, [Parameter(Mandatory = $true)][datetime]$Fallback)
    try {
        $started = $Process.StartTime
        if ($started -is [datetime]) {
            return $started
        }
    } catch {
        # A process that ended already, or one Windows gives no time for.
    }
    return $Fallback
}

# Waits until the started program (created at StartedAt) and every process it started have
# ended. Each full minute after the first, "Still waiting for <label> (<n> min)" goes to the
# console and the log. At the limit the whole tree is ended and "<label> did not finish
# within <n> minutes." is thrown as a failure of kind TimeLimit.
function Wait-ProcessTree {
    param(
        [Parameter(Mandatory = $true)]$Process,
        [Parameter(Mandatory = $true)][string]$Label,
        [Parameter(Mandatory = $true)][int]$TimeLimitMinutes,
        [Parameter(Mandatory = $true)][datetime]$StartedAt
    )
    $rootId = [int]$Process.Id
    # The runner holds the program's handle, so its id cannot pass to another process. Its
    # start time keeps out a process that ran before it and whose recorded parent happens
    # to carry the id Windows gave the program (ids are reused).
    $tree = New-Object 'System.Collections.Generic.Dictionary[int, datetime]'
    $tree[$rootId] = $StartedAt
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
    # The captures get names nobody can be holding from an earlier run (the work folder is
    # private, but a file someone opened before that stays open).
    $safeLabel = ConvertTo-SafeLabel -Label $Label
    $stdoutPath = New-RunFilePath -Folder $script:WorkDir -Stem ('{0}-stdout' -f $safeLabel) -Extension '.txt'
    $stderrPath = New-RunFilePath -Folder $script:WorkDir -Stem ('{0}-stderr' -f $safeLabel) -Extension '.txt'

    Write-Log -Message ('Running {0}: {1} {2}' -f $Label, $FilePath, $Arguments) -Level INFO
    $launched = Get-Date
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
            Wait-ProcessTree -Process $process -Label $Label -TimeLimitMinutes $TimeLimitMinutes -StartedAt (Get-ProcessStartTime -Process $process -Fallback $launched)
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
