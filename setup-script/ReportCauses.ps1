## The report's likely causes: joins the facts into findings for the reader (crashes in a
## prerequisite's DLL, runtime DLLs in the game folder, a restart Windows waits for, low
## free space), each check guarded. Only reads the machine. Uses the report's facts, the
## Visual C++ and DirectX parts and the run record.

#region Diagnostic report: likely causes

# The likely-causes block: at most 20 lines, free space below 2 GB counts as low, and the
# places where Windows itself notes that it must restart (read only).
$script:ReportMaxCauses = 20
$script:ReportLowFreeSpaceBytes = 2GB
$script:ReportRestartKeys = [ordered]@{
    'Component Based Servicing' = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\RebootPending'
    'Windows Update'            = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\WindowsUpdate\Auto Update\RebootRequired'
}
$script:ReportSessionManagerKey = 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager'
# The features DISM turns on, by the subject their steps record problems under.
$script:DismFeatureSubjects = New-Object 'System.Collections.Generic.HashSet[string]' (, [string[]]@('.NET Framework 3.5', 'DirectPlay'))

# The prerequisites this tool installs, with the runtime DLL names that belong to each
# (regular expressions on the file name, letter case ignored) and where this run records
# them in the run record: the subjects of its failures and warnings and the runner labels of
# its installers (the Visual C++ rows take both from the package list). Installed lists the
# DisplayName patterns of its Uninstall entries.
$script:ReportPrerequisites = @(
    [pscustomobject]@{ Name = 'Visual C++ 2005'; Modules = '^(msvcr|msvcp|mfc)80u?\.dll$'; Installed = @('Microsoft Visual C++ 2005*') }
    [pscustomobject]@{ Name = 'Visual C++ 2008'; Modules = '^(msvcr|msvcp|mfc)90u?\.dll$'; Installed = @('Microsoft Visual C++ 2008*') }
    [pscustomobject]@{ Name = 'Visual C++ 2010'; Modules = '^(msvcr|msvcp|mfc)100u?\.dll$'; Installed = @('Microsoft Visual C++ 2010*') }
    [pscustomobject]@{ Name = 'Visual C++ 2012'; Modules = '^(msvcr|msvcp|mfc)110u?\.dll$'; Installed = @('Microsoft Visual C++ 2012*') }
    [pscustomobject]@{ Name = 'Visual C++ 2013'; Modules = '^(msvcr|msvcp|mfc)120u?\.dll$'; Installed = @('Microsoft Visual C++ 2013*') }
    [pscustomobject]@{ Name = 'Visual C++ v14'; Modules = '^(msvcp140.*|vcruntime140.*|concrt140|mfc140.*)\.dll$'
        Installed = @('Microsoft Visual C++ 2015*', 'Microsoft Visual C++ 2017*', 'Microsoft Visual C++ 2019*', 'Microsoft Visual C++ 2022*', 'Microsoft Visual C++ v14*') }
    [pscustomobject]@{ Name = 'DirectX June 2010'; Modules = '^(d3dx9_.+|d3dx10_.+|d3dx11_.+|d3dcompiler_(3[3-9]|4[0-3])|xinput1_[1-3]|xaudio2_[0-7]|x3daudio1_.+|xactengine.+)\.dll$'
        Subjects = @('DirectX legacy runtime'); RunnerLabels = @('DXSETUP') }
    [pscustomobject]@{ Name = '.NET Framework'; Modules = '^(mscoree|mscorwks|clr)\.dll$'
        Subjects = @('.NET Framework 3.5'); RunnerLabels = @('DISM-NetFx3', 'DotNet35') }
)
# PE machine types by name; any other machine is shown as its number.
$script:ReportPeMachines = @{ 0x014C = 'x86'; 0x8664 = 'x64'; 0xAA64 = 'ARM64' }

# The prerequisite a runtime DLL belongs to (by file name, letter case ignored, a folder
# in front of the name ignored), or $null for any other module.
function Get-ModulePrerequisite {
    param([AllowEmptyString()][string]$Name)
    $fileName = $Name.Substring($Name.LastIndexOf('\') + 1)
    foreach ($prerequisite in $script:ReportPrerequisites) {
        if ($fileName -match $prerequisite.Modules) {
            return $prerequisite
        }
    }
    return $null
}

# True when the Visual C++ package belongs to the prerequisite row: the package's name is the
# row's name and more ("Visual C++ 2013 x86" of "Visual C++ 2013").
function Test-PackageOfPrerequisite {
    param([Parameter(Mandatory = $true)]$Package, [Parameter(Mandatory = $true)]$Prerequisite)
    return $Package.Name.StartsWith($Prerequisite.Name + ' ', [StringComparison]::Ordinal)
}

# What this run recorded about the prerequisites, from the run record: Entries (every
# completed program, failure and warning) and Installed (the DisplayNames of both
# Uninstall views).
function Get-PrerequisiteRunRecord {
    $installed = @(Get-UninstallEntries | ForEach-Object { [string]$_.DisplayName })
    $entries = $script:RunRecord.ToArray()
    return [pscustomobject]@{ Entries = $entries; Installed = $installed }
}

# What this run says about a prerequisite, the first that holds of:
#   "failed in this run": a failure or warning of it was recorded (of ".NET Framework 3.5",
#       "DirectX legacy runtime" or a Visual C++ package of that version);
#   "was installed or repaired in this run": one of its installers completed in this run;
#   "is present": it is on the machine now (an Uninstall entry or, for Visual C++ 2005, the
#       side-by-side manifest; d3dx9_43.dll in the folder for 32-bit programs; .NET
#       Framework 3.5 detected);
#   "was not checked (diagnostics only)": none of these, as in a run that installs nothing.
function Get-PrerequisiteRunState {
    param([Parameter(Mandatory = $true)]$Prerequisite, [Parameter(Mandatory = $true)]$Record)
    $subjects = @()
    $labels = @()
    if ($null -ne $Prerequisite.PSObject.Properties['Subjects']) {
        $subjects = @($Prerequisite.Subjects)
        $labels = @($Prerequisite.RunnerLabels)
    } else {
        foreach ($package in $script:VisualCppPackages) {
            if (Test-PackageOfPrerequisite -Package $package -Prerequisite $Prerequisite) {
                $subjects += $package.Name
                $labels += Get-VisualCppRunnerLabel -Package $package
            }
        }
    }
    foreach ($entry in $Record.Entries) {
        if ($entry.Outcome -ne 'Completed' -and $subjects -contains $entry.Subject) {
            return 'failed in this run'
        }
    }
    foreach ($entry in $Record.Entries) {
        if ($entry.Outcome -eq 'Completed' -and $labels -contains $entry.Item) {
            return 'was installed or repaired in this run'
        }
    }
    $present = $false
    if ($Prerequisite.Name -eq '.NET Framework') {
        $present = [bool](Test-NetFx35Installed)
    } elseif ($Prerequisite.Name -eq 'DirectX June 2010') {
        $present = Test-Path -LiteralPath (Get-DirectXLegacyDllPath) -PathType Leaf
    } else {
        foreach ($name in $Record.Installed) {
            foreach ($pattern in $Prerequisite.Installed) {
                if ($name -like $pattern) {
                    $present = $true
                }
            }
        }
        if (-not $present -and $Prerequisite.Name -eq 'Visual C++ 2005') {
            $present = [bool](Test-VisualCpp2005Manifest)
        }
    }
    if ($present) {
        return 'is present'
    }
    return 'was not checked (diagnostics only)'
}

# One finding per application and faulting module of the Application Error events (id
# 1000) whose module belongs to a prerequisite, newest first. The names come from the
# event data (application in the first value, module in the fourth), never from the
# message, which Windows writes in the user's language.
function Add-CrashCauses {
    param([Parameter(Mandatory = $true)]$Causes, [Parameter(Mandatory = $true)]$EventQuery)
    if ($null -ne $EventQuery.Error) {
        throw $EventQuery.Error
    }
    $crashes = New-Object 'System.Collections.Specialized.OrderedDictionary' ([StringComparer]::OrdinalIgnoreCase)
    foreach ($event in @($EventQuery.Events)) {
        if ($null -eq $event -or [string]$event.ProviderName -ne 'Application Error' -or [int]$event.Id -ne 1000) {
            continue
        }
        $data = @($event.Properties)
        if ($data.Count -lt 4) {
            continue
        }
        $application = [string]$data[0].Value
        $module = [string]$data[3].Value
        $module = $module.Substring($module.LastIndexOf('\') + 1)
        $prerequisite = Get-ModulePrerequisite -Name $module
        if ($null -eq $prerequisite) {
            continue
        }
        $key = $application + '|' + $module
        if ($crashes.Contains($key)) {
            $crashes[$key].Times++
        } else {
            $crashes[$key] = [pscustomobject]@{ Application = $application; Module = $module; Prerequisite = $prerequisite; Times = 1 }
        }
    }
    if ($crashes.Count -eq 0) {
        return
    }
    $record = Get-PrerequisiteRunRecord
    foreach ($crash in $crashes.Values) {
        $state = Get-PrerequisiteRunState -Prerequisite $crash.Prerequisite -Record $record
        $Causes.Add(('{0} crashed {1} time(s) in {2}: {3} — {4}' -f $crash.Application, $crash.Times, $crash.Module, $crash.Prerequisite.Name, $state))
    }
}

# The machine type in a file's PE header (IMAGE_FILE_HEADER.Machine), read from its bytes
# without loading it; $null when the file is not a PE image.
function Get-PeMachineType {
    param([Parameter(Mandatory = $true)][string]$Path)
    $stream = [System.IO.File]::Open($Path, [System.IO.FileMode]::Open, [System.IO.FileAccess]::Read, [System.IO.FileShare]::ReadWrite)
    try {
        $reader = New-Object System.IO.BinaryReader $stream
        if ($stream.Length -lt 0x40 -or $reader.ReadUInt16() -ne 0x5A4D) {
            return $null
        }
        $stream.Position = 0x3C
        $headerOffset = [long]$reader.ReadUInt32()
        if ($headerOffset -lt 4 -or $headerOffset + 6 -gt $stream.Length) {
            return $null
        }
        $stream.Position = $headerOffset
        if ($reader.ReadUInt32() -ne 0x00004550) {
            return $null
        }
        return [int]$reader.ReadUInt16()
    } finally {
        $stream.Dispose()
    }
}

# "x86", "x64", "ARM64", or "machine 0x...." for any other machine type.
function Get-PeMachineName {
    param([Parameter(Mandatory = $true)][int]$Machine)
    if ($script:ReportPeMachines.ContainsKey($Machine)) {
        return $script:ReportPeMachines[$Machine]
    }
    return ('machine 0x{0}' -f $Machine.ToString('X4', [System.Globalization.CultureInfo]::InvariantCulture))
}

# One finding per runtime DLL of a prerequisite directly in the game folder (the folder
# named, or the folder of the file named; hidden files too, since Windows loads them as
# well), in name order: the game loads it instead of the system's copy. Its machine type is
# compared with the game EXE's: the EXE named, else the largest EXE in the folder. A DLL that
# is not a PE image is a finding of its own.
function Add-GameFolderCauses {
    param([Parameter(Mandatory = $true)]$Causes, [Parameter(Mandatory = $true)][string]$GamePath)
    $item = Get-Item -LiteralPath $GamePath -Force -ErrorAction Stop
    $exe = $null
    if ($item.PSIsContainer) {
        $folder = $item.FullName
    } else {
        $folder = $item.DirectoryName
        if ($item.Extension -eq '.exe') {
            $exe = $item
        }
    }
    $files = @(Get-ChildItem -LiteralPath $folder -File -Force -ErrorAction Stop | Sort-Object -Property Name)
    if ($null -eq $exe) {
        $exe = $files | Where-Object { $_.Extension -eq '.exe' } | Sort-Object -Property Length -Descending | Select-Object -First 1
    }
    $exeMachine = $null
    if ($null -ne $exe) {
        $exeMachine = Get-PeMachineType -Path $exe.FullName
    }
    foreach ($file in $files) {
        $prerequisite = Get-ModulePrerequisite -Name $file.Name
        if ($null -eq $prerequisite) {
            continue
        }
        $machine = Get-PeMachineType -Path $file.FullName
        if ($null -eq $machine) {
            $Causes.Add(('{0} in the game folder is not a valid PE image ({1})' -f $file.Name, $prerequisite.Name))
        } elseif ($null -ne $exeMachine -and $machine -ne $exeMachine) {
            $Causes.Add(('{0} in the game folder is {1} but {2} is {3}' -f $file.Name, (Get-PeMachineName -Machine $machine), $exe.Name, (Get-PeMachineName -Machine $exeMachine)))
        } else {
            $Causes.Add(('{0} in the game folder is {1} and is loaded instead of the system''s copy ({2})' -f $file.Name, (Get-PeMachineName -Machine $machine), $prerequisite.Name))
        }
    }
}

# True when the registry key exists. Only reads.
function Test-RegistryKey {
    param([Parameter(Mandatory = $true)][string]$Path)
    return (Test-Path -LiteralPath $Path)
}

# One finding when Windows itself notes a pending restart: either servicing key exists, or
# the Session Manager's PendingFileRenameOperations holds an entry. Only reads.
function Add-PendingRestartCauses {
    param([Parameter(Mandatory = $true)]$Causes)
    $sources = @()
    foreach ($source in $script:ReportRestartKeys.Keys) {
        if (Test-RegistryKey -Path $script:ReportRestartKeys[$source]) {
            $sources += $source
        }
    }
    if (Test-RegistryKey -Path $script:ReportSessionManagerKey) {
        $values = Get-ItemProperty -LiteralPath $script:ReportSessionManagerKey
        $renames = $values.PSObject.Properties['PendingFileRenameOperations']
        if ($null -ne $renames -and @(@($renames.Value) | Where-Object { -not [string]::IsNullOrEmpty([string]$_) }).Count -gt 0) {
            $sources += 'PendingFileRenameOperations'
        }
    }
    if ($sources.Count -gt 0) {
        $Causes.Add(('Windows has a restart pending ({0}): restart, then run this tool again.' -f ($sources -join ', ')))
    }
}

# Free bytes on a drive (such as "C:") for the account running the script.
function Get-DriveFreeBytes {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Drive)
    return [long](New-Object System.IO.DriveInfo $Drive).AvailableFreeSpace
}

# One finding when the system drive has less than 2 GB free, in GB cut to one decimal (so
# that 1.99 GB never reads as 2.0). The drive's own colon ends its name in the text:
# "Only 1.9 GB free on C: installers may fail."
function Add-FreeSpaceCauses {
    param([Parameter(Mandatory = $true)]$Causes)
    $drive = Get-SystemDrive
    $free = Get-DriveFreeBytes -Drive $drive
    if ($free -lt $script:ReportLowFreeSpaceBytes) {
        $gigabytes = [Math]::Floor(($free / 1GB) * 10) / 10
        $Causes.Add(('Only {0:0.0} GB free on {1}: installers may fail.' -f $gigabytes, $drive.TrimEnd(':')))
    }
}

# One finding per feature whose DISM run failed in this run with an error code whose likely
# cause is known (Get-DismErrorText), from the run record.
function Add-DismCauses {
    param([Parameter(Mandatory = $true)]$Causes)
    foreach ($entry in $script:RunRecord) {
        if ($entry.Outcome -eq 'Completed' -or $entry.Kind -ne 'ExitCode' -or $null -eq $entry.ExitCode -or -not $script:DismFeatureSubjects.Contains($entry.Subject)) {
            continue
        }
        $text = Get-DismErrorText -ExitCode $entry.ExitCode
        if ($text -ne '') {
            $Causes.Add(('DISM could not turn on {0}. {1}' -f $entry.Subject, $text))
        }
    }
}

# Joins what the report knows into likely causes, in this order: DISM errors of this run,
# crashes in a prerequisite's DLL, runtime DLLs in the game folder (only with a game path),
# Windows' own pending restart and low free space on the system drive. Each check is
# guarded: its error becomes "Unable to check <what>: <message>" after its findings so far.
# At most 20 lines; "No likely cause found." when there is none.
function Add-ReportLikelyCauseLines {
    param($Lines, $Facts)
    $causes = New-Object System.Collections.Generic.List[string]
    Add-DismCauses -Causes $causes
    try {
        Add-CrashCauses -Causes $causes -EventQuery $Facts.EventQuery
    } catch {
        $causes.Add(('Unable to check crashes: {0}' -f $_.Exception.Message))
    }
    if (-not [string]::IsNullOrWhiteSpace($Facts.GamePath)) {
        try {
            Add-GameFolderCauses -Causes $causes -GamePath $Facts.GamePath
        } catch {
            $causes.Add(('Unable to check game folder DLLs: {0}' -f $_.Exception.Message))
        }
    }
    try {
        Add-PendingRestartCauses -Causes $causes
    } catch {
        $causes.Add(('Unable to check pending restart: {0}' -f $_.Exception.Message))
    }
    try {
        Add-FreeSpaceCauses -Causes $causes
    } catch {
        $causes.Add(('Unable to check free space: {0}' -f $_.Exception.Message))
    }
    if ($causes.Count -eq 0) {
        Add-ReportLine -Lines $Lines -Text 'No likely cause found.'
    }
    foreach ($cause in @($causes | Select-Object -First $script:ReportMaxCauses)) {
        Add-ReportLine -Lines $Lines -Text $cause
    }
}
#endregion
