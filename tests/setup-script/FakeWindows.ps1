# A small simulated Windows machine for the setup script's tests.
#
# A test states the machine it needs and switches it on inside a Pester block:
#
#     BeforeEach {
#         $machine = New-FakeWindows -Build 22631 -Is64Bit $true
#         Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName 'Microsoft Visual C++ 2005 Redistributable'
#         Use-FakeWindows $machine
#     }
#     AfterEach { Reset-FakeWindows }
#
# The machine's disk is a real folder under Pester's TestDrive holding Windows, ProgramData,
# a desktop and TEMP; environment variables point there while the fake is in use. Registry,
# CIM classes, optional features, Authenticode signatures, rights and OS bitness are answered
# from the machine's tables through mocks of the commands the script calls. Commands that
# exist only on Windows get a stub here first (same parameters) so that Pester can mock them;
# a stub that is reached without a mock throws instead of touching this machine.

# Loads the setup script so that it only defines its functions and state.
$script:SetupScriptPath = [System.IO.Path]::GetFullPath((Join-Path $PSScriptRoot '../../setup-script/ORVELLE-Prerequisites.ps1'))

#region Stubs for Windows-only commands
if (-not (Get-Command Get-CimInstance -ErrorAction SilentlyContinue)) {
    function global:Get-CimInstance {
        param([string]$ClassName, [string]$Namespace, [string]$Filter)
        throw 'Get-CimInstance is not available on this machine.'
    }
}
if (-not (Get-Command Get-WindowsOptionalFeature -ErrorAction SilentlyContinue)) {
    function global:Get-WindowsOptionalFeature {
        param([switch]$Online, [string]$FeatureName)
        throw 'Get-WindowsOptionalFeature is not available on this machine.'
    }
}
if (-not (Get-Command Get-AuthenticodeSignature -ErrorAction SilentlyContinue)) {
    function global:Get-AuthenticodeSignature {
        param([string]$FilePath, [string]$LiteralPath)
        throw 'Get-AuthenticodeSignature is not available on this machine.'
    }
}
if (-not (Get-Command Start-BitsTransfer -ErrorAction SilentlyContinue)) {
    function global:Start-BitsTransfer {
        param([string]$Source, [string]$Destination, [string]$DisplayName, [string]$Description, [string]$TransferType, [switch]$Asynchronous)
        throw 'Start-BitsTransfer is not available on this machine.'
    }
}
if (-not (Get-Command Get-WinEvent -ErrorAction SilentlyContinue)) {
    function global:Get-WinEvent {
        param([hashtable[]]$FilterHashtable, [long]$MaxEvents, [string]$LogName)
        throw 'Get-WinEvent is not available on this machine.'
    }
}
if (-not (Get-Command Get-MpComputerStatus -ErrorAction SilentlyContinue)) {
    function global:Get-MpComputerStatus {
        param()
        throw 'Get-MpComputerStatus is not available on this machine.'
    }
}
if (-not (Get-Command Get-MpThreatDetection -ErrorAction SilentlyContinue)) {
    function global:Get-MpThreatDetection {
        param()
        throw 'Get-MpThreatDetection is not available on this machine.'
    }
}
#endregion

#region The machine

# Creates a machine: a folder tree under TestDrive plus tables the mocks answer from.
# Defaults describe an up-to-date Windows 11 x64 machine, run as administrator.
function New-FakeWindows {
    param(
        [bool]$IsAdministrator = $true,
        [bool]$Is64Bit = $true,
        [int]$Build = 22631,
        [string]$Caption = 'Microsoft Windows 11 Pro',
        [AllowNull()][string]$DisplayVersion = '23H2',
        [string]$ComputerName = 'PLAYER-PC',
        [string]$Root = (Join-Path $TestDrive ('machine-' + [guid]::NewGuid().ToString('N').Substring(0, 8)))
    )
    $machine = [pscustomobject]@{
        Root            = $Root
        SystemRoot      = Join-Path $Root 'Windows'
        ProgramData     = Join-Path $Root 'ProgramData'
        Desktop         = Join-Path $Root 'Users/Player/Desktop'
        Temp            = Join-Path $Root 'Users/Player/AppData/Local/Temp'
        ComputerName    = $ComputerName
        IsAdministrator = $IsAdministrator
        Is64Bit         = $Is64Bit
        # Registry: key path (as the script writes it, compared case-insensitively) -> ordered values.
        Registry        = New-Object 'System.Collections.Specialized.OrderedDictionary' ([StringComparer]::OrdinalIgnoreCase)
        # CIM: class name -> array of objects, or a string that the query throws.
        Cim             = @{ 'Win32_OperatingSystem' = @([pscustomobject]@{ Caption = $Caption }); 'Win32_VideoController' = @() }
        # Optional features: name -> state text, or $null when the query throws.
        Features        = @{ 'NetFx3' = 'Disabled'; 'DirectPlay' = 'Disabled' }
        # Authenticode: full path -> @{ Status; Subject }. Files not listed read NotSigned.
        Signatures      = @{}
        SavedEnvironment = @{}
    }
    foreach ($folder in @($machine.SystemRoot, (Join-Path $machine.SystemRoot 'System32'), $machine.ProgramData, $machine.Desktop, $machine.Temp)) {
        $null = New-Item -ItemType Directory -Path $folder -Force
    }
    if ($Is64Bit) {
        $null = New-Item -ItemType Directory -Path (Join-Path $machine.SystemRoot 'SysWOW64') -Force
    }
    Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion' -Name 'CurrentBuildNumber' -Value ([string]$Build)
    if ($null -ne $DisplayVersion) {
        Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion' -Name 'DisplayVersion' -Value $DisplayVersion
    }
    return $machine
}

# Sets one registry value, creating the key.
function Set-FakeRegistryValue {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Key,
        [Parameter(Mandatory = $true)][string]$Name,
        [AllowNull()]$Value
    )
    if (-not $Machine.Registry.Contains($Key)) {
        $Machine.Registry[$Key] = [ordered]@{}
    }
    $Machine.Registry[$Key][$Name] = $Value
}

# Adds an entry under the native or the WOW6432Node Uninstall key. Pass $null for a value
# the entry does not have.
function Add-FakeUninstallEntry {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [ValidateSet('Native', 'WOW6432Node')][string]$View = 'Native',
        [AllowNull()][string]$DisplayName,
        [AllowNull()][string]$DisplayVersion = '1.0.0',
        [string]$KeyName = ('{' + [guid]::NewGuid().ToString().ToUpperInvariant() + '}')
    )
    $root = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
    if ($View -eq 'WOW6432Node') {
        $root = 'HKLM:\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
    }
    $key = "$root\$KeyName"
    $Machine.Registry[$key] = [ordered]@{}
    if ($null -ne $DisplayName) { $Machine.Registry[$key]['DisplayName'] = $DisplayName }
    if ($null -ne $DisplayVersion) { $Machine.Registry[$key]['DisplayVersion'] = $DisplayVersion }
}

# Sets a file's Authenticode answer. The default subject is Microsoft's real one.
function Set-FakeSignature {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Path,
        [string]$Status = 'Valid',
        [AllowNull()][string]$Subject = 'CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US'
    )
    $Machine.Signatures[[System.IO.Path]::GetFullPath($Path)] = @{ Status = $Status; Subject = $Subject }
}

# Creates a file on the machine's disk (parents included) and returns its full path.
function New-FakeFile {
    param(
        [Parameter(Mandatory = $true, Position = 0)][string]$Path,
        [string]$Content = 'fake'
    )
    $null = New-Item -ItemType Directory -Path (Split-Path -Parent $Path) -Force
    [System.IO.File]::WriteAllText($Path, $Content)
    return [System.IO.Path]::GetFullPath($Path)
}

# Answers Get-ItemProperty for a registry path from the machine's table: a key path gives
# its values, a path ending in "\*" gives one object per subkey in insertion order.
function Get-FakeRegistryItem {
    param($Machine, [string]$Path, [string[]]$Name)
    if ($Path.EndsWith('\*')) {
        $parent = $Path.Substring(0, $Path.Length - 2) + '\'
        $results = @()
        foreach ($key in $Machine.Registry.Keys) {
            if ($key.StartsWith($parent, [StringComparison]::OrdinalIgnoreCase) -and $key.Substring($parent.Length).IndexOf('\') -lt 0) {
                $results += New-FakeRegistryObject -Key $key -Values $Machine.Registry[$key]
            }
        }
        return $results
    }
    if (-not $Machine.Registry.Contains($Path)) {
        throw (New-Object System.Management.Automation.ItemNotFoundException "Cannot find path '$Path' because it does not exist.")
    }
    $values = $Machine.Registry[$Path]
    foreach ($valueName in @($Name | Where-Object { $_ })) {
        if (-not $values.Contains($valueName)) {
            throw (New-Object System.Management.Automation.PSArgumentException "Property $valueName does not exist at path $Path.")
        }
    }
    return New-FakeRegistryObject -Key $Path -Values $values
}

function New-FakeRegistryObject {
    param([string]$Key, $Values)
    $object = [ordered]@{}
    foreach ($valueName in $Values.Keys) { $object[$valueName] = $Values[$valueName] }
    $object['PSPath'] = 'Microsoft.PowerShell.Core\Registry::' + $Key
    $object['PSChildName'] = Split-Path -Leaf $Key
    return [pscustomobject]$object
}
#endregion

#region Switching the machine on and off

# Points the environment at the machine and mocks the Windows-only queries. Call it inside
# BeforeEach or It, after the setup script has been loaded.
function Use-FakeWindows {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    $script:FakeMachine = $Machine
    foreach ($name in @('SystemRoot', 'windir', 'ProgramData', 'TEMP', 'OS', 'COMPUTERNAME')) {
        $Machine.SavedEnvironment[$name] = [Environment]::GetEnvironmentVariable($name)
    }
    $env:SystemRoot = $Machine.SystemRoot
    $env:windir = $Machine.SystemRoot
    $env:ProgramData = $Machine.ProgramData
    $env:TEMP = $Machine.Temp
    $env:OS = 'Windows_NT'
    $env:COMPUTERNAME = $Machine.ComputerName

    Mock Test-IsAdministrator { $script:FakeMachine.IsAdministrator }
    Mock Test-Is64BitOperatingSystem { $script:FakeMachine.Is64Bit }
    Mock Get-CimInstance {
        $answer = $script:FakeMachine.Cim[$ClassName]
        if ($answer -is [string]) { throw $answer }
        $answer
    }
    Mock Get-ItemProperty -ParameterFilter { ([string]$Path) -like 'HKLM:*' -or ([string]$LiteralPath) -like 'HKLM:*' } {
        $registryPath = [string]$Path
        if ([string]::IsNullOrEmpty($registryPath)) { $registryPath = [string]$LiteralPath }
        Get-FakeRegistryItem -Machine $script:FakeMachine -Path $registryPath -Name $Name
    }
    Mock Get-WindowsOptionalFeature {
        if (-not $script:FakeMachine.Features.ContainsKey($FeatureName)) {
            throw "Feature name $FeatureName is unknown."
        }
        $state = $script:FakeMachine.Features[$FeatureName]
        if ($null -eq $state) { throw "The requested operation requires elevation." }
        [pscustomobject]@{ FeatureName = $FeatureName; State = $state }
    }
    Mock Get-AuthenticodeSignature {
        $target = $FilePath
        if ([string]::IsNullOrEmpty($target)) { $target = $LiteralPath }
        $full = [System.IO.Path]::GetFullPath($target)
        $answer = $script:FakeMachine.Signatures[$full]
        if ($null -eq $answer) { $answer = @{ Status = 'NotSigned'; Subject = $null } }
        $certificate = $null
        if ($null -ne $answer.Subject) { $certificate = [pscustomobject]@{ Subject = $answer.Subject } }
        [pscustomobject]@{ Status = $answer.Status; SignerCertificate = $certificate; Path = $full }
    }
}

# Restores the environment variables that Use-FakeWindows changed.
function Reset-FakeWindows {
    $machine = $script:FakeMachine
    if ($null -eq $machine) { return }
    foreach ($name in $machine.SavedEnvironment.Keys) {
        [Environment]::SetEnvironmentVariable($name, $machine.SavedEnvironment[$name])
    }
    $script:FakeMachine = $null
}
#endregion

#region Console capture

# Runs a script block and returns what it wrote to the console as objects with Text and
# Colour (the foreground colour name, "" when none was given), in order.
function Get-ConsoleLines {
    param([Parameter(Mandatory = $true)][scriptblock]$ScriptBlock)
    $records = & $ScriptBlock 6>&1
    foreach ($record in @($records)) {
        if ($record -is [System.Management.Automation.InformationRecord]) {
            $data = $record.MessageData
            if ($data -is [System.Management.Automation.HostInformationMessage]) {
                $colour = ''
                if ($null -ne $data.ForegroundColor -and [int]$data.ForegroundColor -ge 0) { $colour = [string]$data.ForegroundColor }
                [pscustomobject]@{ Text = [string]$data.Message; Colour = $colour }
            } else {
                [pscustomobject]@{ Text = [string]$data; Colour = '' }
            }
        }
    }
}

# Reads the log file of the current run as lines without their "[time] " prefix.
function Get-LogLines {
    if ([string]::IsNullOrEmpty($script:LogPath) -or -not (Test-Path -LiteralPath $script:LogPath)) { return @() }
    $text = [System.IO.File]::ReadAllText($script:LogPath)
    return @($text -split "`r`n" | Where-Object { $_ -ne '' } | ForEach-Object { $_ -replace '^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ', '' })
}
#endregion
