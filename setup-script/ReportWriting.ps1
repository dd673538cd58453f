## Writing the report: the result block with every failure and warning, and the report file
## itself, made new as UTF-8 with a byte-order mark and CR LF. Uses the report's facts and
## likely causes, rights and Windows, the secured folders, the verified download (unknown
## builds), the output and the state.

#region Diagnostic report: writing it

# The report's blocks, in order: the header, the function that adds the block's lines (it
# gets the line list and the facts the report gathered), what the block's "Unable to ..."
# line says could not be done when that function throws ("" when an error stops the whole
# report instead), and what it needs to be there at all: a game path, or installers this run
# used (or a package folder it was given).
$script:ReportBlocks = @(
    [pscustomobject]@{ Header = '[WINDOWS]'; Body = 'Add-ReportWindowsLines'; Unable = ''; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[WINDOWS FEATURES]'; Body = 'Add-ReportFeatureLines'; Unable = ''; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[DIRECTX / COMMON DLL FILES]'; Body = 'Add-ReportDllLines'; Unable = ''; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[INSTALLED VISUAL C++ RUNTIMES]'; Body = 'Add-ReportRuntimeLines'; Unable = 'query runtimes'; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[GRAPHICS]'; Body = 'Add-ReportGraphicsLines'; Unable = 'query GPU'; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[MICROSOFT DEFENDER STATUS - NO SETTINGS WERE CHANGED]'; Body = 'Add-ReportDefenderLines'; Unable = 'query Defender'; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[GAME FILES]'; Body = 'Add-ReportGameFileLines'; Unable = 'inspect game path'; NeedsGamePath = $true; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[RECENT APPLICATION ERRORS - LAST 48 HOURS]'; Body = 'Add-ReportEventLines'; Unable = 'query event log'; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[INSTALLERS USED]'; Body = 'Add-ReportInstallerLines'; Unable = ''; NeedsGamePath = $false; NeedsInstallers = $true }
    [pscustomobject]@{ Header = '[LIKELY CAUSES]'; Body = 'Add-ReportLikelyCauseLines'; Unable = ''; NeedsGamePath = $false; NeedsInstallers = $false }
    [pscustomobject]@{ Header = '[SETUP RESULT]'; Body = 'Add-ReportResultLines'; Unable = ''; NeedsGamePath = $false; NeedsInstallers = $false }
)

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
# (New-FreshFile; under another name beside it when a leftover of that name is held open)
# and returns its path: the same bytes under Windows PowerShell 5.1 and PowerShell 7.
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
    return (New-FreshFile -Path $Path -Bytes $bytes -OtherNameWhenHeld)
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
        if ($block.NeedsInstallers -and $script:InstallerSources.Count -eq 0 -and [string]::IsNullOrEmpty($script:PackageFolder)) {
            continue
        }
        Add-ReportBlock -Lines $lines -Block $block -Facts $facts
    }
    Add-ReportLine -Lines $lines
    Add-ReportLine -Lines $lines -Text $script:ReportPrivacyNote

    $reportPath = Write-ReportFile -Path $reportPath -Lines $lines
    Write-Log -Message ('Diagnostic report created: {0}' -f $reportPath) -Level OK
    return $reportPath
}
#endregion
