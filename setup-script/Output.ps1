## Output: the log file and the coloured console lines, numbered step titles, and the one
## way a problem is recorded (Add-Failure, Add-Warning; its kind goes into the run record
## as data). Uses the state (LogPath, Failures, Warnings, RunRecord).

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

# Writes one "[time] [level] message" line to the log file (when set up) and, unless
# -LogOnly, the message alone to the console in the level's colour. Never throws because of
# the log file.
function Write-Log {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)][AllowEmptyString()][string]$Message,
        [ValidateSet('INFO', 'OK', 'WARN', 'ERROR', IgnoreCase = $false)][string]$Level = 'INFO',
        [switch]$LogOnly
    )
    $line = '[{0}] [{1}] {2}' -f (Get-Date).ToString('yyyy-MM-dd HH:mm:ss'), $Level, $Message
    Add-LogText -Text ($line + "`r`n")
    if (-not $LogOnly) {
        Write-Host $Message -ForegroundColor $script:LevelColours[$Level]
    }
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
