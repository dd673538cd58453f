## Installers' own logs: after an installer failed, the end of its own log goes into the
## run's log and the failure names the file. Uses the output.

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
