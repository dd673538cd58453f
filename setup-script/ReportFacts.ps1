## The report's facts: where the report goes, and the blocks that read the machine
## (Windows, features, runtime DLLs, Visual C++ entries, graphics, Defender, game files,
## recent application errors), each guarded so that an unreadable source becomes one
## "Unable to ..." line. Only reads the machine. Uses rights and Windows, the secured and
## work folders, the Windows features and the state.

#region Diagnostic report: the facts

# What the report looks at, in the order it lists them, and the bounds that keep it short.
$script:ReportDllNames = @(
    'd3d9.dll', 'd3dx9_43.dll', 'd3dx9_42.dll', 'xinput1_3.dll', 'xaudio2_7.dll',
    'msvcp100.dll', 'msvcr100.dll', 'msvcp120.dll', 'msvcr120.dll', 'vcruntime140.dll', 'msvcp140.dll'
)
$script:ReportUninstallRoots = @(
    'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\*',
    'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\*'
)
$script:ReportRuntimePattern = 'Microsoft Visual C++*Redistributable*'
$script:ReportEventProviders = @('Application Error', '.NET Runtime', 'SideBySide', 'Windows Error Reporting')
$script:ReportEventHours = 48
$script:ReportEventsQueried = 80
$script:ReportEventsShown = 20
$script:ReportEventMessageLength = 700
$script:ReportMaxDetections = 10
$script:ReportMaxGameFiles = 100
$script:ReportPrivacyNote = 'Privacy note: This report can include computer name, local file paths and recent application error details. Review it before sharing.'

# Returns the text with every control character (CR, LF, TAB, ESC and the rest) replaced by
# one blank each: a value can neither break a report line nor carry terminal sequences.
# \p{Cc} is the Unicode category that Char.IsControl tests.
function ConvertTo-ReportText {
    param([AllowNull()][AllowEmptyString()][string]$Text)
    if ([string]::IsNullOrEmpty($Text)) {
        return ''
    }
    return [regex]::Replace($Text, '\p{Cc}', ' ')
}

# Returns the state name of an optional Windows feature ("Enabled", "Disabled", ...), or
# "Unavailable" when the query fails or gives no state. Never throws.
function Get-FeatureStateText {
    param([string]$FeatureName)
    try {
        $features = @(Get-WindowsOptionalFeature -Online -FeatureName $FeatureName -ErrorAction Stop)
        if ($features.Count -eq 0 -or $null -eq $features[0] -or $null -eq $features[0].PSObject.Properties['State']) {
            return 'Unavailable'
        }
        $state = [string]$features[0].State
        if ([string]::IsNullOrWhiteSpace($state)) {
            return 'Unavailable'
        }
        return $state
    } catch {
        return 'Unavailable'
    }
}

# Appends one line to the report's line list; without a text, an empty line. Every line,
# and so every value in it, passes through ConvertTo-ReportText.
function Add-ReportLine {
    param(
        [Parameter(Mandatory = $true)][AllowEmptyCollection()]$Lines,
        [AllowEmptyString()][AllowNull()][string]$Text = ''
    )
    $null = $Lines.Add((ConvertTo-ReportText -Text $Text))
}

# Appends one block of the report: an empty line, the block's header and the lines its body
# function adds. When the body throws, a block with an Unable text gets the line "Unable to
# <Unable>: <message>" after the lines added so far; for any other block the error goes on.
function Add-ReportBlock {
    param(
        [Parameter(Mandatory = $true)][AllowEmptyCollection()]$Lines,
        [Parameter(Mandatory = $true)]$Block,
        [Parameter(Mandatory = $true)]$Facts
    )
    Add-ReportLine -Lines $Lines
    Add-ReportLine -Lines $Lines -Text $Block.Header
    try {
        & $Block.Body -Lines $Lines -Facts $Facts
    } catch {
        if ([string]::IsNullOrEmpty($Block.Unable)) {
            throw
        }
        Add-ReportLine -Lines $Lines -Text ('Unable to {0}: {1}' -f $Block.Unable, $_.Exception.Message)
    }
}

# The desktop folder of the account running the script; "" when it has none.
function Get-DesktopFolder {
    return [Environment]::GetFolderPath('Desktop')
}

# The folder below the product folder where reports for administrators go.
$script:AdminReportFolderName = 'Reports'

# The folder the report goes to. An unattended run or one as SYSTEM writes to "Reports" in
# the product folder, private to administrators (an administrator finds it there; SYSTEM's
# desktop nobody opens; the report names other users' files in Defender's detections, the
# computer and local paths, which a standard user must not read); it throws when the
# product folder has not been set up. Otherwise the desktop when it exists, else TEMP.
function Get-ReportFolder {
    if ($script:RunUnattended -or (Test-IsSystemAccount)) {
        if ([string]::IsNullOrEmpty($script:ProductDir)) {
            throw 'The report folder under ProgramData has not been set up.'
        }
        $reports = Initialize-SecuredFolder -Path (Join-Path $script:ProductDir $script:AdminReportFolderName) -Access Private
        Write-SecuredFolderNotes -Folder $reports
        return $reports.Path
    }
    $desktop = Get-DesktopFolder
    if (-not [string]::IsNullOrWhiteSpace($desktop) -and (Test-Path -LiteralPath $desktop -PathType Container)) {
        return $desktop
    }
    return $env:TEMP
}

# The entries of both Uninstall views, native view first, that have a DisplayName value. A
# view that cannot be read (or does not exist on 32-bit Windows) adds nothing.
function Get-UninstallEntries {
    $entries = @()
    foreach ($root in $script:ReportUninstallRoots) {
        try {
            $entries += @(Get-ItemProperty -Path $root -ErrorAction SilentlyContinue)
        } catch {
            # Passed over without a trace.
        }
    }
    return @($entries | Where-Object { $null -ne $_ -and $null -ne $_.PSObject.Properties['DisplayName'] })
}

# The FileVersion text of a file's version resource; "" when it has none.
function Get-FileVersionText {
    param([Parameter(Mandatory = $true)][string]$Path)
    $version = [System.Diagnostics.FileVersionInfo]::GetVersionInfo($Path).FileVersion
    if ($null -eq $version) {
        return ''
    }
    return [string]$version
}

# Windows build record, rights and whether this run asked for a restart.
function Add-ReportWindowsLines {
    param($Lines, $Facts)
    Add-ReportLine -Lines $Lines -Text ('OS           : {0}' -f $Facts.Windows.Caption)
    Add-ReportLine -Lines $Lines -Text ('Version      : {0}' -f $Facts.Windows.DisplayVersion)
    Add-ReportLine -Lines $Lines -Text ('Build        : {0}' -f $Facts.Windows.Build)
    Add-ReportLine -Lines $Lines -Text ('Architecture : {0}' -f $Facts.Windows.Architecture)
    Add-ReportLine -Lines $Lines -Text ('Admin        : {0}' -f [bool](Test-IsAdministrator))
    Add-ReportLine -Lines $Lines -Text ('Pending reboot: {0}' -f [bool]$script:RestartRequired)
}

# .NET Framework 3.5 and the states of the NetFx3 and DirectPlay features.
function Add-ReportFeatureLines {
    param($Lines, $Facts)
    Add-ReportLine -Lines $Lines -Text ('.NET Framework 3.5 installed : {0}' -f [bool](Test-NetFx35Installed))
    Add-ReportLine -Lines $Lines -Text ('NetFx3 feature state         : {0}' -f (Get-FeatureStateText -FeatureName 'NetFx3'))
    Add-ReportLine -Lines $Lines -Text ('DirectPlay feature state     : {0}' -f (Get-FeatureStateText -FeatureName 'DirectPlay'))
}

# FOUND (with version) or MISSING for each runtime DLL in System32 and, on 64-bit
# Windows, SysWOW64.
function Add-ReportDllLines {
    param($Lines, $Facts)
    $folders = @(Join-Path (Get-WindowsFolder) 'System32')
    if (Test-Is64BitWindows) {
        $folders += Join-Path (Get-WindowsFolder) 'SysWOW64'
    }
    foreach ($folder in $folders) {
        Add-ReportLine -Lines $Lines -Text ('-- {0}' -f $folder)
        foreach ($dllName in $script:ReportDllNames) {
            $dllPath = Join-Path $folder $dllName
            if (Test-Path -LiteralPath $dllPath -PathType Leaf) {
                Add-ReportLine -Lines $Lines -Text ('FOUND   {0,-18} Version {1}' -f $dllName, (Get-FileVersionText -Path $dllPath))
            } else {
                Add-ReportLine -Lines $Lines -Text ('MISSING {0}' -f $dllName)
            }
        }
    }
}

# Visual C++ redistributables from both Uninstall views, one line per distinct name.
function Add-ReportRuntimeLines {
    param($Lines, $Facts)
    $runtimes = @(Get-UninstallEntries | Where-Object { [string]$_.DisplayName -like $script:ReportRuntimePattern } |
            Sort-Object -Property { [string]$_.DisplayName })
    $seen = New-Object 'System.Collections.Generic.HashSet[string]' ([StringComparer]::OrdinalIgnoreCase)
    foreach ($runtime in $runtimes) {
        $name = [string]$runtime.DisplayName
        if (-not $seen.Add($name)) {
            continue
        }
        $version = ''
        if ($null -ne $runtime.PSObject.Properties['DisplayVersion']) {
            $version = [string]$runtime.DisplayVersion
        }
        Add-ReportLine -Lines $Lines -Text ('{0} | {1}' -f $name, $version)
    }
    if ($seen.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No matching entries found.'
    }
}

# Name, driver version and driver date of each video controller.
function Add-ReportGraphicsLines {
    param($Lines, $Facts)
    foreach ($controller in @(Get-CimInstance -ClassName Win32_VideoController -ErrorAction Stop)) {
        Add-ReportLine -Lines $Lines -Text ('Name          : {0}' -f $controller.Name)
        Add-ReportLine -Lines $Lines -Text ('DriverVersion : {0}' -f $controller.DriverVersion)
        Add-ReportLine -Lines $Lines -Text ('DriverDate    : {0}' -f $controller.DriverDate)
    }
}

# Microsoft Defender's status and its newest detections. Only reads; changes nothing.
function Add-ReportDefenderLines {
    param($Lines, $Facts)
    if ($null -eq (Get-Command -Name 'Get-MpComputerStatus' -ErrorAction SilentlyContinue)) {
        Add-ReportLine -Lines $Lines -Text 'Microsoft Defender PowerShell module is unavailable (another antivirus may be installed).'
        return
    }
    $status = Get-MpComputerStatus -ErrorAction Stop
    Add-ReportLine -Lines $Lines -Text ('AntivirusEnabled         : {0}' -f $status.AntivirusEnabled)
    Add-ReportLine -Lines $Lines -Text ('RealTimeProtectionEnabled: {0}' -f $status.RealTimeProtectionEnabled)
    Add-ReportLine -Lines $Lines -Text ('SignatureLastUpdated     : {0}' -f $status.AntivirusSignatureLastUpdated)

    $detections = @()
    try {
        $detections = @(Get-MpThreatDetection -ErrorAction Stop)
    } catch {
        # Detections that cannot be read count as none.
        $detections = @()
    }
    $recent = @($detections | Where-Object { $null -ne $_ } |
            Sort-Object -Property InitialDetectionTime -Descending |
            Select-Object -First $script:ReportMaxDetections)
    if ($recent.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No recent Defender detections returned.'
        return
    }
    Add-ReportLine -Lines $Lines -Text 'Recent detections (up to 10):'
    foreach ($detection in $recent) {
        $resources = @($detection.Resources | Where-Object { $null -ne $_ }) -join '; '
        Add-ReportLine -Lines $Lines -Text ('Time={0}; ThreatID={1}; ActionSuccess={2}; Resources={3}' -f $detection.InitialDetectionTime, $detection.ThreatID, $detection.ActionSuccess, $resources)
    }
}

# Size, version, signature state and SHA-256 of a game file, or of the EXE and DLL
# files directly inside a game folder (at most 100).
function Add-ReportGameFileLines {
    param($Lines, $Facts)
    $item = Get-Item -LiteralPath $Facts.GamePath -Force -ErrorAction Stop
    if ($item.PSIsContainer) {
        $files = @(Get-ChildItem -LiteralPath $item.FullName -File -ErrorAction Stop |
                Where-Object { $_.Extension -eq '.exe' -or $_.Extension -eq '.dll' } |
                Select-Object -First $script:ReportMaxGameFiles)
    } else {
        $files = @($item)
    }
    Add-ReportLine -Lines $Lines -Text ('Target: {0}' -f $item.FullName)
    foreach ($file in $files) {
        $hash = Get-FileHash -LiteralPath $file.FullName -Algorithm SHA256 -ErrorAction Stop
        $signature = Get-AuthenticodeSignature -LiteralPath $file.FullName -ErrorAction Stop
        $version = Get-FileVersionText -Path $file.FullName
        Add-ReportLine -Lines $Lines -Text ('{0} | Size={1} | Version={2} | Signature={3} | SHA256={4}' -f $file.Name, $file.Length, $version, [string]$signature.Status, $hash.Hash)
    }
    if ($files.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No EXE or DLL files found at the selected target.'
    }
}

# The newest error events of the Application log in the report's window, newest first.
# A window without any error event gives none; any other query error is thrown. The window
# is an XPath time difference in milliseconds: a start time in a filter hashtable would be
# turned into text and parsed back under the current culture, which a custom short-date
# format breaks.
function Get-RecentApplicationErrors {
    $windowMilliseconds = ([long]$script:ReportEventHours * 3600000).ToString([System.Globalization.CultureInfo]::InvariantCulture)
    $filter = '*[System[(Level=2) and TimeCreated[timediff(@SystemTime) <= ' + $windowMilliseconds + ']]]'
    try {
        return @(Get-WinEvent -LogName 'Application' -FilterXPath $filter -MaxEvents $script:ReportEventsQueried -ErrorAction Stop)
    } catch {
        if ([string]$_.FullyQualifiedErrorId -like 'NoMatchingEventsFound*') {
            return @()
        }
        throw
    }
}

# Queries the recent error events once for the blocks that use them: Events, and Error
# (the query's error message, or $null when it worked).
function Get-ReportEventQuery {
    try {
        return [pscustomobject]@{ Events = @(Get-RecentApplicationErrors); Error = $null }
    } catch {
        return [pscustomobject]@{ Events = @(); Error = $_.Exception.Message }
    }
}

# The package folder this run took installers from, and where each installer it used came
# from: the package folder, the cache or a download.
function Add-ReportInstallerLines {
    param($Lines, $Facts)
    $folder = 'none'
    if (-not [string]::IsNullOrEmpty($script:PackageFolder)) {
        $folder = $script:PackageFolder
    }
    Add-ReportLine -Lines $Lines -Text ('Package folder: {0}' -f $folder)
    foreach ($source in $script:InstallerSources) {
        Add-ReportLine -Lines $Lines -Text ('{0}: {1}' -f $source.Label, $source.Source)
    }
}

# Recent crashes and load failures that matter for a game, one line each.
function Add-ReportEventLines {
    param($Lines, $Facts)
    if ($null -ne $Facts.EventQuery.Error) {
        throw (New-Object System.Exception -ArgumentList @(, [string]$Facts.EventQuery.Error))
    }
    $events = @($Facts.EventQuery.Events | Where-Object {
            $null -ne $_ -and $script:ReportEventProviders -contains [string]$_.ProviderName
        } | Select-Object -First $script:ReportEventsShown)
    foreach ($event in $events) {
        $message = ConvertTo-ReportText -Text ([string]$event.Message)
        if ($message.Length -gt $script:ReportEventMessageLength) {
            $message = $message.Substring(0, $script:ReportEventMessageLength) + '...'
        }
        Add-ReportLine -Lines $Lines -Text ('{0} | {1} | Event {2} | {3}' -f $event.TimeCreated, $event.ProviderName, $event.Id, $message)
    }
    if ($events.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No matching recent errors found.'
    }
}
#endregion
