# A small simulated Windows machine for the setup script's tests.
#
# A test states the machine it needs and switches it on inside a Pester block:
#
#     BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }   # optional, see Enable-FakeMocks
#     BeforeEach {
#         $machine = New-FakeWindows -Build 22631 -Architecture x64
#         Add-FakeUninstallEntry $machine -View WOW6432Node -DisplayName 'Microsoft Visual C++ 2005 Redistributable'
#         Use-FakeWindows $machine
#     }
#     AfterEach { Reset-FakeWindows }
#
# Use-FakeRun $machine switches it on for a setup step: a fresh run's state and work folder
# and the simulated installers too. Switching a machine on starts from a run that has not
# begun, and the script's console output is captured rather than printed (Get-ConsoleLines).
#
# The machine's disk is a real folder under Pester's TestDrive holding Windows, ProgramData,
# a desktop and TEMP; environment variables point there while the fake is in use. Registry,
# CIM classes, optional features, Authenticode signatures, rights and the processor
# architecture are answered from the machine's tables through mocks of the commands the
# script calls, or for the busiest of them through stand-ins (see "Stand-ins for the script's
# busiest functions"). Commands that exist only on Windows get a stub here first (same
# parameters) so that Pester can mock them; a stub that is reached without a mock throws
# instead of touching this machine.

# The setup script as the build puts it together from the parts in setup-script/ (the file
# the executable embeds); ./build.sh leaves it in dist/. Tests dot-source it, so it only
# defines its functions and state.
$script:SetupScriptPath = [System.IO.Path]::GetFullPath((Join-Path $PSScriptRoot '../../dist/ORVELLE-Prerequisites.ps1'))
if (-not (Test-Path -LiteralPath $script:SetupScriptPath -PathType Leaf)) {
    throw ('{0} is missing: run ./build.sh, which puts the setup script together from its parts.' -f $script:SetupScriptPath)
}

# The machine switched on (Use-FakeWindows), or $null.
$script:FakeMachine = $null

# The parts of the setup script, in the order CMakeLists.txt lists them (ORVELLE_SCRIPT_PARTS).
function Get-SetupScriptPartPaths {
    $root = [System.IO.Path]::GetFullPath((Join-Path $PSScriptRoot '../..'))
    $cmake = [System.IO.File]::ReadAllText((Join-Path $root 'CMakeLists.txt'))
    $list = [regex]::Match($cmake, '(?s)set\(ORVELLE_SCRIPT_PARTS\s(.*?)\)')
    if (-not $list.Success) { throw 'CMakeLists.txt lists no ORVELLE_SCRIPT_PARTS.' }
    foreach ($name in ($list.Groups[1].Value -split '\s+' | Where-Object { $_ -ne '' })) {
        [System.IO.Path]::Combine($root, 'setup-script', $name + '.ps1')
    }
}

# The bytes the build makes of the given parts: one UTF-8 byte-order mark, then each part
# without its own byte-order mark and its opening "##" comment (with the blank lines after
# it), one blank line between each and the next.
function Join-SetupScriptParts {
    param([Parameter(Mandatory = $true)][string[]]$Paths)
    $utf8 = New-Object System.Text.UTF8Encoding $false
    $texts = foreach ($path in $Paths) {
        $bytes = [System.IO.File]::ReadAllBytes($path)
        [regex]::Replace($utf8.GetString($bytes, 3, $bytes.Length - 3), '^(##[^\n]*\n)+\n*', '')
    }
    $body = $utf8.GetBytes(($texts -join "`n"))
    $script = New-Object byte[] ($body.Length + 3)
    $script[0] = 0xEF; $script[1] = 0xBB; $script[2] = 0xBF
    [System.Array]::Copy($body, 0, $script, 3, $body.Length)
    return , $script
}

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
if (-not (Get-Command Complete-BitsTransfer -ErrorAction SilentlyContinue)) {
    function global:Complete-BitsTransfer {
        param($BitsJob)
        throw 'Complete-BitsTransfer is not available on this machine.'
    }
}
if (-not (Get-Command Remove-BitsTransfer -ErrorAction SilentlyContinue)) {
    function global:Remove-BitsTransfer {
        param($BitsJob)
        throw 'Remove-BitsTransfer is not available on this machine.'
    }
}
if (-not (Get-Command Get-WinEvent -ErrorAction SilentlyContinue)) {
    function global:Get-WinEvent {
        param([hashtable[]]$FilterHashtable, [long]$MaxEvents, [string[]]$LogName, [string]$FilterXPath)
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

#region The system the tests themselves run on

# True when the tests run on Windows, Wine included. Works in Windows PowerShell 5.1,
# which has no $IsWindows.
function Test-TestHostWindows {
    return [System.Environment]::OSVersion.Platform -eq [System.PlatformID]::Win32NT
}

# True when the tests run under Wine, which keeps a key of its own in the registry. Read
# through .NET: the simulated machine answers the registry commands.
function Test-TestHostWine {
    if (-not (Test-TestHostWindows)) { return $false }
    $key = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey('SOFTWARE\Wine')
    if ($null -eq $key) { return $false }
    $key.Close()
    return $true
}

# The PowerShell program of the edition that runs the tests, for starting a child like
# this process: powershell.exe for Windows PowerShell; for PowerShell 7 the pwsh beside its
# files (as a dotnet tool its own process is "dotnet"), or, for a Windows host of
# PowerShell 7 named powershell.exe, that host.
function Get-TestPowerShellPath {
    if ($PSVersionTable.PSEdition -eq 'Desktop') { return Join-Path $PSHOME 'powershell.exe' }
    foreach ($name in @('pwsh', 'pwsh.exe', 'powershell.exe')) {
        $path = Join-Path $PSHOME $name
        if (Test-Path -LiteralPath $path -PathType Leaf) { return $path }
    }
    throw "No PowerShell program was found in $PSHOME."
}

# Makes a symbolic link at Path to Target, which need not exist: a folder link when Target
# is a folder or -Directory is given. Windows PowerShell refuses links to missing targets,
# so on Windows mklink makes it (it needs an administrator or developer mode). Wine makes
# no symbolic links (it reports success and makes nothing): there the calling test is
# skipped, saying so. Call it inside It.
function New-TestLink {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Target,
        [switch]$Directory
    )
    if (-not (Test-TestHostWindows)) {
        $null = New-Item -ItemType SymbolicLink -Path $Path -Target $Target
        return
    }
    $kind = ''
    if ($Directory -or (Test-Path -LiteralPath $Target -PathType Container)) { $kind = '/D ' }
    $shell = $env:ComSpec
    if ([string]::IsNullOrEmpty($shell)) { $shell = 'cmd.exe' }
    # mklink would read a forward slash as the start of a switch.
    $line = 'mklink {0}"{1}" "{2}"' -f $kind, [System.IO.Path]::GetFullPath($Path), [System.IO.Path]::GetFullPath($Target)
    $output = & $shell /d /c $line 2>&1
    $made = $LASTEXITCODE -eq 0 -and (Test-TestLink -Path $Path)
    if ($made) { return }
    if (Test-TestHostWine) {
        Set-ItResult -Skipped -Because 'Wine makes no symbolic links'
    }
    throw ("mklink could not make the link {0}: {1}" -f $Path, (@($output) -join ' '))
}

# True when Path itself is a reparse point (a link), whether or not its target exists.
function Test-TestLink {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        $attributes = [System.IO.File]::GetAttributes($Path)
    } catch {
        return $false
    }
    return ($attributes -band [System.IO.FileAttributes]::ReparsePoint) -ne 0
}

# Skips the test where this host makes no links (Wine), before the test hands a step that
# makes one to the script: inside the script's own try/catch the skip would be lost and the
# test would fail instead. Call inside It.
function Skip-WithoutTestLinks {
    param([Parameter(Mandatory = $true)][string]$Folder)
    $probe = Join-Path $Folder ('link-probe-' + [guid]::NewGuid().ToString('N'))
    New-TestLink -Path $probe -Target $Folder -Directory
    [System.IO.Directory]::Delete($probe)
}
#endregion

#region The machine

# Creates a machine: a folder tree under TestDrive plus tables the mocks answer from.
# Defaults describe an up-to-date Windows 11 x64 machine, run as administrator. The
# operating system's architecture is x86, x64 or ARM64; -Is64Bit $false is short for x86.
# The machine's Is64Bit follows its Architecture.
function New-FakeWindows {
    param(
        [bool]$IsAdministrator = $true,
        # The account is SYSTEM, as deployment tools run the script.
        [bool]$IsSystem = $false,
        # The process runs where a person could answer a message box (not in session 0).
        [bool]$SessionCanShowMessageBox = $true,
        [ValidateSet('x86', 'x64', 'ARM64')][string]$Architecture = 'x64',
        [bool]$Is64Bit = $true,
        # Bitness of the PowerShell process; $null means the same as the operating system.
        [AllowNull()]$Is64BitProcess = $null,
        [int]$Build = 22631,
        [string]$Caption = 'Microsoft Windows 11 Pro',
        [AllowNull()][string]$DisplayVersion = '23H2',
        [string]$ComputerName = 'PLAYER-PC',
        [string]$Root = (Join-Path $TestDrive ('machine-' + [guid]::NewGuid().ToString('N').Substring(0, 8)))
    )
    if (-not $Is64Bit) {
        if ($PSBoundParameters.ContainsKey('Architecture') -and $Architecture -ne 'x86') { throw "A 32-bit machine cannot be $Architecture." }
        $Architecture = 'x86'
    }
    $machine = [pscustomobject]@{
        Root            = $Root
        SystemRoot      = Join-Path $Root 'Windows'
        ProgramData     = Join-Path $Root 'ProgramData'
        ProgramFiles    = Join-Path $Root 'Program Files'
        Desktop         = Join-Path $Root 'Users/Player/Desktop'
        Temp            = Join-Path $Root 'Users/Player/AppData/Local/Temp'
        ComputerName    = $ComputerName
        IsAdministrator = $IsAdministrator
        IsSystem        = $IsSystem
        SessionCanShowMessageBox = $SessionCanShowMessageBox
        Architecture    = $Architecture
        Is64BitProcess  = $(if ($null -eq $Is64BitProcess) { $Architecture -ne 'x86' } else { [bool]$Is64BitProcess })
        # Registry: key path (as the script writes it, compared case-insensitively) -> ordered values.
        Registry        = New-Object 'System.Collections.Specialized.OrderedDictionary' ([StringComparer]::OrdinalIgnoreCase)
        # CIM: class name -> array of objects, or a string that the query throws.
        Cim             = @{ 'Win32_OperatingSystem' = @([pscustomobject]@{ Caption = $Caption }); 'Win32_VideoController' = @() }
        # Optional features: name -> state text, or $null when the query throws.
        Features        = @{ 'NetFx3' = 'Disabled'; 'DirectPlay' = 'Disabled' }
        # Authenticode: full path -> @{ Status; Subject }. Files not listed read NotSigned.
        Signatures      = @{}
        # SHA-256 answers: full path -> hash; files not listed are hashed from their bytes.
        FileHashes      = @{}
        SavedEnvironment = @{}
    }
    # Setting Is64Bit chooses x64 or x86.
    Add-Member -InputObject $machine -MemberType ScriptProperty -Name Is64Bit -Value { $this.Architecture -ne 'x86' } -SecondValue {
        param([bool]$Value)
        $this.Architecture = $(if ($Value) { 'x64' } else { 'x86' })
    }
    foreach ($folder in @($machine.SystemRoot, (Join-Path $machine.SystemRoot 'System32'), $machine.ProgramData, $machine.Desktop, $machine.Temp)) {
        $null = New-Item -ItemType Directory -Path $folder -Force
    }
    if ($machine.Is64Bit) {
        $null = New-Item -ItemType Directory -Path (Join-Path $machine.SystemRoot 'SysWOW64') -Force
    }
    Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion' -Name 'CurrentBuildNumber' -Value ([string]$Build)
    if ($null -ne $DisplayVersion) {
        Set-FakeRegistryValue $machine -Key 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion' -Name 'DisplayVersion' -Value $DisplayVersion
    }
    # Windows always has this key; its PendingFileRenameOperations value only while renames wait for a restart.
    Add-FakeRegistryKey $machine -Key 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager'
    Add-FakeReportSources $machine
    return $machine
}

# Creates a registry key without values (a key whose existence alone means something).
function Add-FakeRegistryKey {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Key
    )
    if (-not $Machine.Registry.Contains($Key)) {
        $Machine.Registry[$Key] = [ordered]@{}
    }
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
        # Untyped so that $null stays $null: a [string] parameter would turn it into "".
        [AllowNull()]$DisplayName,
        [AllowNull()]$DisplayVersion = '1.0.0',
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

# Sets a file's Authenticode answer. The default subject is Microsoft's real one; Type is
# "Authenticode" for a signature embedded in the file, "Catalog" for a file that is valid
# only through a Windows catalog.
function Set-FakeSignature {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Path,
        [string]$Status = 'Valid',
        [AllowNull()][string]$Subject = 'CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US',
        [ValidateSet('Authenticode', 'Catalog', 'None')][string]$Type = 'Authenticode'
    )
    $Machine.Signatures[[System.IO.Path]::GetFullPath($Path)] = @{ Status = $Status; Subject = $Subject; Type = $Type }
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

#region Stand-ins for the script's busiest functions

# A run on the machine calls some of the script's functions thousands of times, and a Pester
# mock's dispatch costs about a millisecond per call (several under Wine). While this file is
# loaded, an alias of each such function's name points to a plain stand-in instead: it
# answers from the machine while the machine's mocks are on for the running block (the
# marker mock Test-FakeWindowsOn, which Add-FakeWindowsMocks defines, is in reach), and calls
# the script's own function otherwise. A mock a test defines itself still wins over a
# stand-in, and one whose filter does not match falls through to it.

# False; Add-FakeWindowsMocks mocks it to say that the machine answers.
function Test-FakeWindowsOn {
    return $false
}

# True when the stand-ins answer from the machine for the code running now.
function Test-FakeStandInsOn {
    return ($null -ne $script:FakeMachine -and
        $null -ne $ExecutionContext.InvokeCommand.GetCommand('Test-FakeWindowsOn', [System.Management.Automation.CommandTypes]::Alias))
}

# The command a stand-in stands in for: the setup script's function of that name, or the
# cmdlet (or this file's stub of a Windows-only one), never the alias. Throws when there is
# none (the script is not loaded).
function Get-StoodInCommand {
    param([Parameter(Mandatory = $true)][string]$Name)
    $command = $ExecutionContext.InvokeCommand.GetCommand($Name, [System.Management.Automation.CommandTypes]'Function, Cmdlet')
    if ($null -eq $command) { throw "The command $Name is not loaded." }
    return $command
}

# Folder handles hold the machine's security record of the folder, so that what a handle
# reads stays what it opened, whatever happens to the path (Move-FakeFolderAsOtherUser).
function Open-FakeFolderHandle {
    param([Parameter(Mandatory = $true)][string]$Path)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Open-FolderHandle) @PSBoundParameters) }
    $machine = $script:FakeMachine
    $full = [System.IO.Path]::GetFullPath($Path)
    $attributes = Get-FolderItemAttributes -Path $full
    if ($null -eq $attributes) { return $null }
    $handle = [pscustomobject]@{ Path = $full; Attributes = $attributes; Record = (Get-FakeHeldRecord -Machine $machine -Path $full); Open = $true }
    $machine.OpenHandles.Add($handle)
    return $handle
}

function Get-FakeFolderHandleAttributes {
    param([Parameter(Mandatory = $true)]$Handle)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-FolderHandleAttributes) @PSBoundParameters) }
    return $Handle.Attributes
}

function Get-FakeFolderHandleSecurity {
    param([Parameter(Mandatory = $true)]$Handle)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-FolderHandleSecurity) @PSBoundParameters) }
    $machine = $script:FakeMachine
    if ($null -ne $machine.OnFolderStep) { & $machine.OnFolderStep 'security' $Handle.Path }
    $record = $Handle.Record
    if ($record.Unreadable) { throw $record.Unreadable }
    return [pscustomobject]@{ Owner = $record.Owner; Access = @($record.Access) }
}

function Close-FakeFolderHandle {
    param([Parameter(Mandatory = $true)]$Handle)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Close-FolderHandle) @PSBoundParameters) }
    $Handle.Open = $false
    [void]$script:FakeMachine.OpenHandles.Remove($Handle)
    if ($null -ne $script:FakeMachine.OnFolderStep) { & $script:FakeMachine.OnFolderStep 'closed' $Handle.Path }
}

# A new folder gets the security of its SDDL in the machine's table.
function New-FakeFolderWithSecurity {
    param([Parameter(Mandatory = $true)][string]$Path, [Parameter(Mandatory = $true)][string]$Sddl)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand New-FolderWithSecurity) @PSBoundParameters) }
    $full = [System.IO.Path]::GetFullPath($Path)
    if (-not [System.IO.Directory]::Exists([System.IO.Path]::GetDirectoryName($full))) {
        throw (New-Object System.IO.DirectoryNotFoundException "Could not find a part of the path '$full'.")
    }
    if ([System.IO.File]::Exists($full)) {
        throw (New-Object System.IO.IOException "Cannot create '$full' because a file with the same name already exists.")
    }
    if ([System.IO.Directory]::Exists($full)) { return }
    $security = ConvertFrom-FakeSddl -Sddl $Sddl
    $null = [System.IO.Directory]::CreateDirectory($full)
    $script:FakeMachine.FolderSecurity[$full] = $security
    $script:FakeMachine.FolderChanges.Add("create $full")
}

# Random tails come from $machine.RandomTails, then count up (see Get-FakeRandomTail).
function Get-FakeRandomHexTail {
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-RandomHexTail)) }
    $machine = $script:FakeMachine
    $machine.RandomTailsDrawn++
    if ($machine.RandomTails.Count -gt 0) {
        $tail = $machine.RandomTails[0]
        $machine.RandomTails.RemoveAt(0)
        return $tail
    }
    return (Get-FakeRandomTail $machine.RandomTailsDrawn)
}

# A copy carries the original's signature, hash and version resource along.
function Copy-FakeFileToNew {
    param([Parameter(Mandatory = $true)][string]$Path, [Parameter(Mandatory = $true)][string]$Destination)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Copy-FileToNew) @PSBoundParameters) }
    [System.IO.File]::Copy($Path, $Destination, $false)
    $from = [System.IO.Path]::GetFullPath($Path)
    $to = [System.IO.Path]::GetFullPath($Destination)
    $signature = $script:FakeMachine.Signatures[$from]
    if ($null -ne $signature) { $script:FakeMachine.Signatures[$to] = $signature.Clone() }
    $hash = $script:FakeMachine.FileHashes[$from]
    if ($null -ne $hash) { $script:FakeMachine.FileHashes[$to] = $hash }
    $resource = $script:FakeMachine.VersionResources[$from]
    if ($null -ne $resource) { $script:FakeMachine.VersionResources[$to] = $resource }
}

# A file the machine knows the hash of (Set-FakeFileHash) has that hash; others are hashed.
function Get-FakeFileSha256 {
    param([Parameter(Mandatory = $true)][string]$Path)
    if ((Test-FakeStandInsOn) -and $script:FakeMachine.FileHashes.ContainsKey([System.IO.Path]::GetFullPath($Path))) {
        return $script:FakeMachine.FileHashes[[System.IO.Path]::GetFullPath($Path)]
    }
    return (& (Get-StoodInCommand Get-FileSha256) @PSBoundParameters)
}

# A file another user's program holds open can be neither deleted nor moved nor written.
function Remove-FakeFileQuietly {
    param([Parameter(Mandatory = $true)][string]$Path)
    if ((Test-FakeStandInsOn) -and (Test-FakeHeldFile -Path $Path)) { return }
    & (Get-StoodInCommand Remove-FileQuietly) @PSBoundParameters
}

# A moved file carries its signature, hash and version resource along.
function Move-FakeFileTo {
    param([Parameter(Mandatory = $true)][string]$Path, [Parameter(Mandatory = $true)][string]$Destination)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Move-FileTo) @PSBoundParameters) }
    Assert-FakeFileNotHeld -Path $Path
    Assert-FakeFileNotHeld -Path $Destination
    [System.IO.File]::Move($Path, $Destination)
    $from = [System.IO.Path]::GetFullPath($Path)
    $to = [System.IO.Path]::GetFullPath($Destination)
    foreach ($table in @($script:FakeMachine.Signatures, $script:FakeMachine.FileHashes, $script:FakeMachine.VersionResources)) {
        if ($table.ContainsKey($from)) {
            $table[$to] = $table[$from]
            $table.Remove($from)
        }
    }
}

# The runner's clock is the machine's WatchTime; no other process runs on the machine;
# Windows Installer is busy until the machine's InstallerBusyUntil.
function Get-FakeWatchTime {
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-WatchTime)) }
    return $script:FakeMachine.WatchTime
}

function Get-FakeProcessTable {
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-ProcessTable)) }
    return @()
}

function Test-FakeWindowsInstallerBusy {
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Test-WindowsInstallerBusy)) }
    return ($script:FakeMachine.WatchTime -lt $script:FakeMachine.InstallerBusyUntil)
}

# The machine's processor, Windows folder, features, signatures, registry (HKLM) and files
# it cannot read.
function Get-FakeSystemProcessorArchitecture {
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-SystemProcessorArchitecture)) }
    return @{ 'x86' = 'x86'; 'x64' = 'AMD64'; 'ARM64' = 'ARM64' }[$script:FakeMachine.Architecture]
}

function Get-FakeWindowsFolder {
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-WindowsFolder)) }
    return $script:FakeMachine.SystemRoot
}

function Get-FakeWindowsOptionalFeature {
    [CmdletBinding()]
    param([string]$FeatureName, [switch]$Online)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-WindowsOptionalFeature) @PSBoundParameters) }
    if (-not $script:FakeMachine.Features.ContainsKey($FeatureName)) {
        throw "Feature name $FeatureName is unknown."
    }
    $state = $script:FakeMachine.Features[$FeatureName]
    if ($null -eq $state) { throw "The requested operation requires elevation." }
    return [pscustomobject]@{ FeatureName = $FeatureName; State = $state }
}

# Files not listed in the machine's Signatures read NotSigned.
function Get-FakeAuthenticodeSignature {
    [CmdletBinding()]
    param([Parameter(Position = 0)][string[]]$FilePath, [string[]]$LiteralPath)
    if (-not (Test-FakeStandInsOn)) { return (& (Get-StoodInCommand Get-AuthenticodeSignature) @PSBoundParameters) }
    $target = [string]$FilePath
    if ([string]::IsNullOrEmpty($target)) { $target = [string]$LiteralPath }
    $full = [System.IO.Path]::GetFullPath($target)
    $answer = $script:FakeMachine.Signatures[$full]
    if ($null -eq $answer) { $answer = @{ Status = 'NotSigned'; Subject = $null; Type = 'None' } }
    $certificate = $null
    if ($null -ne $answer.Subject) { $certificate = [pscustomobject]@{ Subject = $answer.Subject } }
    return [pscustomobject]@{ Status = $answer.Status; SignatureType = $answer.Type; SignerCertificate = $certificate; Path = $full }
}

# Only HKLM answers from the machine; any other path is the real provider's.
function Get-FakeItemProperty {
    [CmdletBinding()]
    param([Parameter(Position = 0)][string[]]$Path, [string[]]$LiteralPath, [Parameter(Position = 1)][string[]]$Name)
    $registryPath = [string]$Path
    if ([string]::IsNullOrEmpty($registryPath)) { $registryPath = [string]$LiteralPath }
    if ((Test-FakeStandInsOn) -and $registryPath -like 'HKLM:*') {
        return (Get-FakeRegistryItem -Machine $script:FakeMachine -Path $registryPath -Name $Name)
    }
    & (Get-StoodInCommand Get-ItemProperty) @PSBoundParameters
}

# A file listed in the machine's UnreadableFiles cannot be opened.
function Get-FakeFileHash {
    [CmdletBinding()]
    param([Parameter(Position = 0)][string[]]$Path, [string[]]$LiteralPath, [string]$Algorithm)
    $target = [string]$LiteralPath + [string]$Path
    if ((Test-FakeStandInsOn) -and $target -ne '' -and $script:FakeMachine.UnreadableFiles -contains [System.IO.Path]::GetFullPath($target)) {
        throw (New-Object System.UnauthorizedAccessException ("Access to the path '{0}' is denied." -f $target))
    }
    & (Get-StoodInCommand Get-FileHash) @PSBoundParameters
}

Set-Alias -Name Get-SystemProcessorArchitecture -Value Get-FakeSystemProcessorArchitecture
Set-Alias -Name Get-WindowsFolder -Value Get-FakeWindowsFolder
Set-Alias -Name Get-WindowsOptionalFeature -Value Get-FakeWindowsOptionalFeature
Set-Alias -Name Get-AuthenticodeSignature -Value Get-FakeAuthenticodeSignature
Set-Alias -Name Get-ItemProperty -Value Get-FakeItemProperty
Set-Alias -Name Get-FileHash -Value Get-FakeFileHash
Set-Alias -Name Open-FolderHandle -Value Open-FakeFolderHandle
Set-Alias -Name Get-FolderHandleAttributes -Value Get-FakeFolderHandleAttributes
Set-Alias -Name Get-FolderHandleSecurity -Value Get-FakeFolderHandleSecurity
Set-Alias -Name Close-FolderHandle -Value Close-FakeFolderHandle
Set-Alias -Name New-FolderWithSecurity -Value New-FakeFolderWithSecurity
Set-Alias -Name Get-RandomHexTail -Value Get-FakeRandomHexTail
Set-Alias -Name Copy-FileToNew -Value Copy-FakeFileToNew
Set-Alias -Name Get-FileSha256 -Value Get-FakeFileSha256
Set-Alias -Name Remove-FileQuietly -Value Remove-FakeFileQuietly
Set-Alias -Name Move-FileTo -Value Move-FakeFileTo
Set-Alias -Name Get-WatchTime -Value Get-FakeWatchTime
Set-Alias -Name Get-ProcessTable -Value Get-FakeProcessTable
Set-Alias -Name Test-WindowsInstallerBusy -Value Test-FakeWindowsInstallerBusy
#endregion

#region Switching the machine on and off

# Pester's mocks take a few milliseconds each to define, and a machine needs dozens. A block
# whose every test switches a machine on defines them once, in its BeforeAll:
#
#     BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows, Installers }
#
# The variable, which ends with the block, tells Use-FakeWindows, Use-FakeInstallers
# (Use-FakeRun) and Use-FakeProgramsAndNetwork that they only need to switch the machine on. The mocks answer from whichever machine is switched on, and a mock a
# test defines itself still wins over them. Without it, each Use- function defines its mocks
# for the test that calls it.
function Enable-FakeMocks {
    param([Parameter(Mandatory = $true, Position = 0)][ValidateSet('Windows', 'Installers', 'ProgramsAndNetwork')][string[]]$Set)
    foreach ($name in $Set) {
        switch ($name) {
            'Windows' { Add-FakeWindowsMocks }
            'Installers' { Add-FakeInstallerMocks }
            'ProgramsAndNetwork' { Add-FakeProgramsAndNetworkMocks }
        }
    }
    return , @($Set)
}

# True when the block running now defined the named mocks ($FakeMocksEnabled, see
# Enable-FakeMocks).
function Test-FakeMocksEnabled {
    param([Parameter(Mandatory = $true)][string]$Set)
    $enabled = Get-Variable -Name FakeMocksEnabled -ValueOnly -ErrorAction SilentlyContinue
    return (@($enabled) -contains $Set)
}

# Points the environment at the machine, mocks the Windows-only queries (unless the block
# defined them, see Enable-FakeMocks) and sets the script state to that of a run that has not
# started (Reset-SetupState). Call it inside BeforeEach or It, after the setup script has
# been loaded.
function Use-FakeWindows {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    Reset-SetupState
    $script:FakeMachine = $Machine
    foreach ($name in @('SystemRoot', 'SystemDrive', 'windir', 'ProgramData', 'ProgramFiles', 'TEMP', 'OS', 'COMPUTERNAME', 'PSModulePath')) {
        $Machine.SavedEnvironment[$name] = [Environment]::GetEnvironmentVariable($name)
    }
    $env:SystemRoot = $Machine.SystemRoot
    $env:SystemDrive = 'C:'
    $env:windir = $Machine.SystemRoot
    $env:ProgramData = $Machine.ProgramData
    $env:ProgramFiles = $Machine.ProgramFiles
    $env:TEMP = $Machine.Temp
    $env:OS = 'Windows_NT'
    $env:COMPUTERNAME = $Machine.ComputerName
    Initialize-FakeFolderSecurityTables $Machine
    Initialize-FakeWatch $Machine
    Initialize-FakeRandomTails $Machine
    if (-not (Test-FakeMocksEnabled -Set Windows)) {
        Add-FakeWindowsMocks
    }
}

# Mocks the Windows-only queries, the report's sources, folder security, the system folders
# and random names, the runner's clock and the console, all answering from $script:FakeMachine.
function Add-FakeWindowsMocks {
    Mock Test-IsAdministrator { $script:FakeMachine.IsAdministrator }
    Mock Test-IsSystemAccount { $script:FakeMachine.IsSystem }
    Mock Test-SessionCanShowMessageBox { $script:FakeMachine.SessionCanShowMessageBox }
    Mock Test-DotNetSees64BitOperatingSystem { $script:FakeMachine.Is64Bit }
    Mock Test-Is64BitProcess { $script:FakeMachine.Is64BitProcess }
    Mock Get-CimInstance {
        $answer = $script:FakeMachine.Cim[$ClassName]
        if ($answer -is [string]) { throw $answer }
        $answer
    }
    # The machine's disk stands for its drive C:, so a path on it is a full folder path
    # (without double quotes, as on Windows).
    if (Get-Command Test-FullFolderPath -ErrorAction SilentlyContinue) {
        Mock Test-FullFolderPath -ParameterFilter { $null -ne $script:FakeMachine -and $Path.StartsWith($script:FakeMachine.Root) } { -not $Path.Contains('"') }
    }
    # A key exists when the table holds it or a key below it.
    Mock Test-RegistryKey {
        $registryPath = $Path.TrimEnd('\')
        foreach ($key in $script:FakeMachine.Registry.Keys) {
            if ($key -eq $registryPath -or $key.StartsWith($registryPath + '\', [StringComparison]::OrdinalIgnoreCase)) { return $true }
        }
        $false
    }
    Use-FakeReportSources
    Use-FakeFolderSecurity
    Use-FakeRunFolders
    Use-FakeWatch
    Use-ConsoleCapture
    # Switches the stand-ins (folder handles, random tails, copies, the clock) on for the
    # same block as these mocks.
    Mock Test-FakeWindowsOn { $true }
}

# A simulated run in one call: the machine switched on (Use-FakeWindows), the state of a
# fresh run on it (Initialize-FakeRunState) and its installers (Use-FakeInstallers).
function Use-FakeRun {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    Use-FakeWindows $Machine
    Initialize-FakeRunState $Machine
    Use-FakeInstallers $Machine
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

#region Console capture and the clock

# Keeps the script's console output out of the test log: while this file is loaded, the
# Write-Host that the script finds is this one, which writes only to the information stream,
# with the text and colour the real one gives, so Get-ConsoleLines still reads it and nothing
# reaches the screen. Get-Date answers the machine's Clock when one is switched on and set.
# These two are plain functions rather than Pester mocks: the script calls them for every
# log line, and a mock's dispatch costs milliseconds per call. A test can still mock them.
function Write-Host {
    param(
        [Parameter(Position = 0, ValueFromRemainingArguments = $true)]$Object,
        [switch]$NoNewline,
        $Separator = ' ',
        [System.ConsoleColor]$ForegroundColor,
        [System.ConsoleColor]$BackgroundColor
    )
    $message = New-Object System.Management.Automation.HostInformationMessage
    $message.Message = (@($Object) | ForEach-Object { [string]$_ }) -join [string]$Separator
    $message.NoNewLine = [bool]$NoNewline
    if ($PSBoundParameters.ContainsKey('ForegroundColor')) { $message.ForegroundColor = $ForegroundColor }
    if ($PSBoundParameters.ContainsKey('BackgroundColor')) { $message.BackgroundColor = $BackgroundColor }
    Write-Information -MessageData $message
}

function Get-Date {
    if ($null -ne $script:FakeMachine -and $null -ne $script:FakeMachine.Clock) {
        return $script:FakeMachine.Clock
    }
    Microsoft.PowerShell.Utility\Get-Date @args
}

# The console commands the script uses besides Write-Host: Clear-Host does nothing.
function Use-ConsoleCapture {
    Mock Clear-Host { }
}

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

#region What the diagnostic report reads: clock, Defender, event log, file versions

# Adds the report's sources to a new machine: a running clock, Microsoft Defender on with no
# detections, an empty Application log, no file versions and no unreadable files.
function Add-FakeReportSources {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    $defender = [pscustomobject]@{
        # $false: the Defender PowerShell module is not installed.
        Module     = $true
        # The status object, or a string that Get-MpComputerStatus throws.
        Status     = [pscustomobject]@{ AntivirusEnabled = $true; RealTimeProtectionEnabled = $true; AntivirusSignatureLastUpdated = [datetime]'2025-06-13 07:15:00' }
        # Detection objects, or a string that Get-MpThreatDetection throws.
        Detections = @()
    }
    $Machine | Add-Member -NotePropertyName Clock -NotePropertyValue $null              # fixed [datetime] for Get-Date, or $null
    $Machine | Add-Member -NotePropertyName Defender -NotePropertyValue $defender
    $Machine | Add-Member -NotePropertyName Events -NotePropertyValue (New-Object System.Collections.Generic.List[object])
    $Machine | Add-Member -NotePropertyName EventLogError -NotePropertyValue $null      # a string Get-WinEvent throws
    $Machine | Add-Member -NotePropertyName FileVersions -NotePropertyValue @{}         # full path -> FileVersion text
    # full path -> version resource (OriginalFilename, ProductName, FileVersion); see Get-FakeServedVersionResource
    $Machine | Add-Member -NotePropertyName VersionResources -NotePropertyValue @{}
    # full paths another user's program holds open without sharing write or delete access
    $Machine | Add-Member -NotePropertyName HeldFiles -NotePropertyValue (New-Object System.Collections.Generic.List[string])
    $Machine | Add-Member -NotePropertyName UnreadableFiles -NotePropertyValue @()      # full paths Get-FileHash cannot open
    # Free bytes per drive, or a string that the query throws.
    $Machine | Add-Member -NotePropertyName FreeSpace -NotePropertyValue @{ 'C:' = 182GB }
}

# Adds a graphics adapter that Win32_VideoController returns, in order.
function Add-FakeVideoController {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Name,
        [AllowNull()][string]$DriverVersion,
        [AllowNull()]$DriverDate
    )
    $Machine.Cim['Win32_VideoController'] = @($Machine.Cim['Win32_VideoController']) + [pscustomobject]@{ Name = $Name; DriverVersion = $DriverVersion; DriverDate = $DriverDate }
}

# Adds a Microsoft Defender detection.
function Add-FakeThreatDetection {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][datetime]$Time,
        [long]$ThreatId = 2147519003,
        [bool]$ActionSuccess = $true,
        [string[]]$Resources = @()
    )
    $Machine.Defender.Detections = @($Machine.Defender.Detections) + [pscustomobject]@{ InitialDetectionTime = $Time; ThreatID = $ThreatId; ActionSuccess = $ActionSuccess; Resources = $Resources }
}

# Adds an event to the machine's event log (by default an Application error).
function Add-FakeEvent {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][datetime]$TimeCreated,
        [Parameter(Mandatory = $true)][string]$ProviderName,
        [int]$Id = 1000,
        [AllowNull()][string]$Message = 'Faulting application name: game.exe',
        [int]$Level = 2,
        [string]$LogName = 'Application',
        # The event data in order, as the event's Properties (each with a Value).
        [object[]]$Properties = @()
    )
    $data = @(foreach ($value in $Properties) { [pscustomobject]@{ Value = $value } })
    $Machine.Events.Add([pscustomobject]@{ TimeCreated = $TimeCreated; ProviderName = $ProviderName; Id = $Id; Message = $Message; Level = $Level; LogName = $LogName; Properties = $data })
}

# The event data of an Application Error event 1000, in Windows' order: AppName,
# AppVersion, AppTimeStamp, ModuleName, ModuleVersion, ModuleTimeStamp, ExceptionCode,
# FaultingOffset, ProcessId, ProcessCreationTime, AppPath, ModulePath, IntegratorReportId,
# PackageFullName, PackageRelativeAppId.
function Get-FakeCrashData {
    param(
        [Parameter(Mandatory = $true)][string]$Application,
        [Parameter(Mandatory = $true)][string]$Module,
        [string]$ModuleFolder = 'C:\Windows\SYSTEM32'
    )
    return @($Application, '1.4.2.0', '6650a1b2', $Module, '14.40.33810.0', '66a3c1d0', 'c0000409', '0000000000043a1c',
        '0x1f3c', '0x01dadd3e5c2b7a10', ('C:\Games\Cindral Online\' + $Application), ($ModuleFolder + '\' + $Module),
        '5c0c2f5e-8d9a-4a63-9d0b-4b5e0e8f7a21', '', '')
}

# Marks a file as held open by another user's program, without write or delete sharing.
function Set-FakeHeldFile {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine, [Parameter(Mandatory = $true)][string]$Path)
    $Machine.HeldFiles.Add([System.IO.Path]::GetFullPath($Path))
}

# True when another user's program holds the file at Path open (Set-FakeHeldFile).
function Test-FakeHeldFile {
    param([AllowEmptyString()][string]$Path)
    if ([string]::IsNullOrEmpty($Path)) { return $false }
    return $script:FakeMachine.HeldFiles.Contains([System.IO.Path]::GetFullPath($Path))
}

# Throws what Windows says when a program writes a file someone holds open.
function Assert-FakeFileNotHeld {
    param([AllowEmptyString()][string]$Path)
    if (Test-FakeHeldFile -Path $Path) {
        throw (New-Object System.IO.IOException ("The process cannot access the file '{0}' because it is being used by another process." -f $Path))
    }
}

# The version resource of what a Microsoft address serves: the v14 packages say what
# Microsoft's VC_redist of their architecture says (the version the v14 installer registers,
# see Add-FakeV14Registration), the .NET Framework 3.5 installer names its product; $null for
# any other address.
function Get-FakeServedVersionResource {
    param([string]$Url)
    foreach ($row in $script:VisualCppPackages) {
        if ($row.Url -eq $Url -and $row.Name.StartsWith('Visual C++ v14 ')) {
            return [pscustomobject]@{
                OriginalFilename = 'VC_redist.{0}.exe' -f $row.Architecture
                ProductName      = 'Microsoft Visual C++ 2015-2022 Redistributable ({0}) - 14.44.35211' -f $row.Architecture
                FileVersion      = [version]'14.44.35211.0'
            }
        }
    }
    if ($Url -eq $script:NetFx35Installer.Url) {
        return [pscustomobject]@{ OriginalFilename = 'dotnetfx35.exe'; ProductName = 'Microsoft .NET Framework 3.5'; FileVersion = [version]'3.5.30729.1' }
    }
    return $null
}

# Creates a file with a version resource: the file is real, its FileVersion text comes from
# the machine's table. Returns the full path.
function New-FakeVersionedFile {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Path,
        [AllowNull()][string]$Version,
        [string]$Content = 'fake'
    )
    $full = New-FakeFile -Path $Path -Content $Content
    $Machine.FileVersions[$full] = $Version
    return $full
}

# Writes the smallest file that reads as a PE image: a DOS header whose e_lfanew points at
# "PE\0\0" and a file header with the given machine type (x86, x64, ARM64 or a number),
# padded with zeros to Size bytes. Returns the full path.
function New-FakePeFile {
    param(
        [Parameter(Mandatory = $true, Position = 0)][string]$Path,
        [Parameter(Mandatory = $true)]$Machine,
        [int]$Size = 0x100
    )
    $machines = @{ 'x86' = 0x014C; 'x64' = 0x8664; 'ARM64' = 0xAA64 }
    $type = $Machine
    if ($machines.ContainsKey([string]$Machine)) { $type = $machines[[string]$Machine] }
    $bytes = New-Object byte[] ([Math]::Max($Size, 0x58))
    $bytes[0] = 0x4D; $bytes[1] = 0x5A                            # "MZ"
    $bytes[0x3C] = 0x40                                           # e_lfanew
    $bytes[0x40] = 0x50; $bytes[0x41] = 0x45                      # "PE\0\0"
    $bytes[0x44] = [byte]($type -band 0xFF); $bytes[0x45] = [byte](($type -shr 8) -band 0xFF)
    $null = New-Item -ItemType Directory -Path (Split-Path -Parent $Path) -Force
    [System.IO.File]::WriteAllBytes($Path, $bytes)
    return [System.IO.Path]::GetFullPath($Path)
}

# Mocks the report's sources from the machine's tables. Called by Use-FakeWindows.
function Use-FakeReportSources {
    Mock Get-Command -ParameterFilter { @($Name) -contains 'Get-MpComputerStatus' -and $null -ne $script:FakeMachine -and -not $script:FakeMachine.Defender.Module } { }
    Mock Get-MpComputerStatus {
        $answer = $script:FakeMachine.Defender.Status
        if ($answer -is [string]) { throw $answer }
        $answer
    }
    Mock Get-MpThreatDetection {
        $answer = $script:FakeMachine.Defender.Detections
        if ($answer -is [string]) { throw $answer }
        $answer
    }
    # Like the real cmdlet with -LogName and -FilterXPath: the XPath's level and time window
    # (milliseconds before the machine's clock) are applied, an XPath with anything else is
    # refused as invalid; newest first, at most MaxEvents, and an error when nothing matches.
    Mock Get-WinEvent {
        if ($null -ne $script:FakeMachine.EventLogError) { throw $script:FakeMachine.EventLogError }
        if ($null -ne $FilterHashtable -or @($LogName).Count -ne 1 -or [string]::IsNullOrEmpty($FilterXPath)) {
            throw 'The simulated event log answers only one -LogName with -FilterXPath.'
        }
        $invalid = 'The specified query is invalid'
        if ($FilterXPath -notmatch '^\*\[System\[(?<clauses>.+)\]\]$') { throw $invalid }
        $level = $null
        $window = $null
        foreach ($clause in ($Matches['clauses'] -split '\s+and\s+')) {
            if ($clause -match '^\(?Level\s*=\s*(?<level>\d+)\)?$') {
                $level = [int]$Matches['level']
            } elseif ($clause -match '^TimeCreated\[timediff\(@SystemTime\)\s*<=\s*(?<ms>\d+)\]$') {
                $window = [long]$Matches['ms']
            } else {
                throw $invalid
            }
        }
        $now = $script:FakeMachine.Clock
        if ($null -eq $now) { $now = [datetime]::Now }
        $found = @($script:FakeMachine.Events | Where-Object {
                $_.LogName -eq $LogName[0] -and
                ($null -eq $level -or $_.Level -eq $level) -and
                ($null -eq $window -or ($now - $_.TimeCreated).TotalMilliseconds -le $window)
            } | Sort-Object -Property TimeCreated -Descending)
        if ($MaxEvents -gt 0) { $found = @($found | Select-Object -First $MaxEvents) }
        if ($found.Count -eq 0) {
            $exception = New-Object System.Exception 'No events were found that match the specified selection criteria.'
            throw (New-Object System.Management.Automation.ErrorRecord $exception, 'NoMatchingEventsFound,Microsoft.PowerShell.Commands.GetWinEventCommand', 'ObjectNotFound', $null)
        }
        $found
    }
    if (Get-Command Get-DesktopFolder -ErrorAction SilentlyContinue) {
        Mock Get-DesktopFolder { $script:FakeMachine.Desktop }
    }
    if (Get-Command Get-DriveFreeBytes -ErrorAction SilentlyContinue) {
        Mock Get-DriveFreeBytes {
            if (-not $script:FakeMachine.FreeSpace.ContainsKey($Drive)) { throw "The drive '$Drive' does not exist." }
            $answer = $script:FakeMachine.FreeSpace[$Drive]
            if ($answer -is [string]) { throw $answer }
            [long]$answer
        }
    }
    if (Get-Command Get-FileVersionResource -ErrorAction SilentlyContinue) {
        Mock Get-FileVersionResource {
            $answer = $script:FakeMachine.VersionResources[[System.IO.Path]::GetFullPath($Path)]
            if ($null -eq $answer) { $answer = [pscustomobject]@{ OriginalFilename = ''; ProductName = ''; FileVersion = $null } }
            $answer
        }
    }
    if (Get-Command Get-FileVersionText -ErrorAction SilentlyContinue) {
        Mock Get-FileVersionText -ParameterFilter { $null -ne $script:FakeMachine -and $script:FakeMachine.FileVersions.ContainsKey([System.IO.Path]::GetFullPath($Path)) } {
            $script:FakeMachine.FileVersions[[System.IO.Path]::GetFullPath($Path)]
        }
    }
}
#endregion

#region Installers, downloads and signature checks at their function boundary

# Gives the machine the programs that the setup steps run and download, answered through
# mocks of Invoke-ProcessChecked, Get-VerifiedMicrosoftFile and Test-MicrosoftSignature:
#
#     Set-FakeInstaller $machine -Label 'DXSETUP' -ExitCode 1641
#     Set-FakeInstaller $machine -Label 'DISM-NetFx3' -EnablesFeature 'NetFx3'
#     Set-FakeInstaller $machine -Label 'DirectX-Extract' -CreatesFile $dxsetupPath
#     Set-FakeDownloadFailure $machine -Label 'Visual C++ 2013 x86'   # or -Everything: offline
#     Use-FakeInstallers $machine                                      # in BeforeEach or It
#
# A program without an entry ends with 0. The fake runner keeps the real runner's rules:
# 3010 and 1641 set RestartRequired before the exit code is judged, a code outside the
# success list (default 0, 3010, 1641) throws "<label> failed with exit code <code>.", and
# a program's effects happen only when it succeeds (a v14 package registers its runtime
# then). A failing download throws "Unable to securely download <label>: <reason>"; a good
# one leaves a file at the destination. The
# signature check accepts a file whose Signatures entry is Valid with O=Microsoft Corporation
# and otherwise throws the security message. Everything done is recorded in order in
# $machine.Installers.Events ("download <label>", "run <label>", "verify <file name>"), with
# the parameters of each call in .Runs and .Downloads.

# Adds the installer tables to a machine once.
function Initialize-FakeInstallerTables {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    if ($null -ne $Machine.PSObject.Properties['Installers']) { return }
    $tables = [pscustomobject]@{
        Programs         = @{}
        FailingDownloads = @{}
        Offline          = $null
        Events           = New-Object System.Collections.Generic.List[string]
        Runs             = New-Object System.Collections.Generic.List[object]
        Downloads        = New-Object System.Collections.Generic.List[object]
    }
    Add-Member -InputObject $Machine -MemberType NoteProperty -Name Installers -Value $tables
}

# Describes what a program run under the runner label does: its exit code, or a start error
# it throws instead, and on success the feature it enables and the files it creates.
function Set-FakeInstaller {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Label,
        [int]$ExitCode = 0,
        [string]$StartError = '',
        [string]$EnablesFeature = '',
        [string[]]$CreatesFile = @()
    )
    Initialize-FakeInstallerTables $Machine
    $Machine.Installers.Programs[$Label] = @{ ExitCode = $ExitCode; StartError = $StartError; EnablesFeature = $EnablesFeature; CreatesFile = $CreatesFile }
}

# Makes the download with this label fail on every attempt, or every download with -Everything.
function Set-FakeDownloadFailure {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [string]$Label = '',
        [switch]$Everything,
        [string]$Reason = 'The remote name could not be resolved.'
    )
    Initialize-FakeInstallerTables $Machine
    if ($Everything) {
        $Machine.Installers.Offline = $Reason
    } else {
        $Machine.Installers.FailingDownloads[$Label] = $Reason
    }
}

# Sets the script state to that of a run that has not started: no failures, warnings or
# restart, no log file and no work folder.
function Reset-SetupState {
    $script:RestartRequired = $false
    $script:Failures = New-Object System.Collections.Generic.List[string]
    $script:Warnings = New-Object System.Collections.Generic.List[string]
    $script:RunRecord = New-Object System.Collections.Generic.List[object]
    $script:UnknownBuilds = New-Object System.Collections.Generic.List[object]
    $script:LogPath = ''
    $script:WorkDir = ''
    $script:ProductDir = ''
    $script:RunUnattended = $false
    $script:RunFolders = New-Object System.Collections.Generic.List[string]
    $script:HeldFolders = New-Object System.Collections.Generic.List[object]
    $script:LayoutFolder = ''
    $script:PackageSourceFolder = ''
    $script:LauncherFolder = ''
    $script:PackageFolder = ''
    $script:InstallerSources = New-Object System.Collections.Generic.List[object]
}

# Sets the script state of a fresh run on this machine: empty lists, no restart, the work
# folder under the machine's ProgramData (created) and a log file in its Logs folder.
function Initialize-FakeRunState {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    $baseDir = Join-Path $Machine.ProgramData 'ORVELLE/Game Support'
    $script:WorkDir = Join-Path $baseDir 'Downloads'
    $script:ProductDir = $baseDir
    $logDir = Join-Path $baseDir 'Logs'
    $null = New-Item -ItemType Directory -Path $script:WorkDir -Force
    $null = New-Item -ItemType Directory -Path $logDir -Force
    $script:LogPath = Join-Path $logDir 'Setup-test.log'
    [System.IO.File]::WriteAllBytes($script:LogPath, [byte[]]@())
    $script:RestartRequired = $false
    $script:Failures = New-Object System.Collections.Generic.List[string]
    $script:Warnings = New-Object System.Collections.Generic.List[string]
    $script:RunRecord = New-Object System.Collections.Generic.List[object]
    $script:UnknownBuilds = New-Object System.Collections.Generic.List[object]
}

# Answers the runner, the verified download and the signature check from the machine's
# installer tables (mocked unless the block defined them, see Enable-FakeMocks). Call it
# inside BeforeEach or It, after Use-FakeWindows.
function Use-FakeInstallers {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    Initialize-FakeInstallerTables $Machine
    if (-not (Test-FakeMocksEnabled -Set Installers)) {
        Add-FakeInstallerMocks
    }
}

# Mocks the runner, the verified download and the signature check with the installer tables
# of $script:FakeMachine.
function Add-FakeInstallerMocks {
    Mock Invoke-ProcessChecked {
        $installers = $script:FakeMachine.Installers
        # The mock carries the runner's parameters with their defaults.
        $codes = @($SuccessCodes)
        $runLabel = $Label
        $installers.Events.Add("run $runLabel")
        $installers.Runs.Add([pscustomobject]@{ FilePath = $FilePath; Arguments = $Arguments; SuccessCodes = $codes; Label = $runLabel })
        $program = $installers.Programs[$runLabel]
        if ($null -eq $program) { $program = @{ ExitCode = 0; StartError = ''; EnablesFeature = ''; CreatesFile = @() } }
        if ($program.StartError) { throw $program.StartError }
        $code = $program.ExitCode
        if ($code -eq 3010 -or $code -eq 1641) { $script:RestartRequired = $true }
        if ($codes -notcontains $code) { throw (New-RunFailure -Message ('{0} failed with exit code {1}.' -f $runLabel, $code) -Kind ExitCode -ExitCode $code) }
        if ($program.EnablesFeature) { $script:FakeMachine.Features[$program.EnablesFeature] = 'Enabled' }
        foreach ($row in @($script:VisualCppPackages | Where-Object { ($_.File -replace '\.exe$', '') -eq $runLabel })) { Add-FakeV14Registration -Machine $script:FakeMachine -Package $row }
        foreach ($file in $program.CreatesFile) { $null = New-FakeFile $file }
        $code
    }
    Mock Get-VerifiedMicrosoftFile {
        $installers = $script:FakeMachine.Installers
        $installers.Events.Add("download $Label")
        $installers.Downloads.Add([pscustomobject]@{ Url = $Url; Destination = $Destination; Label = $Label })
        $reason = $installers.Offline
        if ($null -eq $reason) { $reason = $installers.FailingDownloads[$Label] }
        if ($null -ne $reason) { throw ('Unable to securely download {0}: {1}' -f $Label, $reason) }
        if (-not (Test-Path -LiteralPath $Destination)) { $null = New-FakeFile $Destination -Content $Url }
        # What the verified download leaves is Microsoft-signed and says what it is.
        Set-FakeSignature $script:FakeMachine -Path $Destination
        $resource = Get-FakeServedVersionResource -Url $Url
        if ($null -ne $resource) { $script:FakeMachine.VersionResources[[System.IO.Path]::GetFullPath($Destination)] = $resource }
        $Destination
    }
    Mock Test-MicrosoftSignature {
        $full = [System.IO.Path]::GetFullPath($Path)
        $leaf = Split-Path -Leaf $full
        $script:FakeMachine.Installers.Events.Add("verify $leaf")
        $answer = $script:FakeMachine.Signatures[$full]
        if ($null -eq $answer) { $answer = @{ Status = 'NotSigned'; Subject = $null; Type = 'None' } }
        $subject = [string]$answer.Subject
        if ($answer.Status -eq 'Valid' -and $answer.Type -eq 'Authenticode' -and $subject -match '(^|[,;+]\s*)O=Microsoft Corporation\s*($|[,;+])') { return $true }
        throw ('Security check failed for {0}. Signature status: {1}; publisher: {2}' -f $leaf, $answer.Status, $subject)
    }
}
#endregion

#region Folder security: owners and permissions that Linux cannot hold

# Windows security of the files and folders on the machine's disk, answered through mocks of
# the folder handles (Open-FolderHandle, Get-FolderHandleAttributes, Get-FolderHandleSecurity,
# Close-FolderHandle), New-FolderWithSecurity and Set-FolderItemSecurity, and folders moved
# aside through Move-FolderAside:
#
#     Set-FakeFolderSecurity $machine -Path $folder                       # a standard user's folder
#     Set-FakeFolderSecurity $machine -Path $folder -Owner 'S-1-5-18' -Access @(
#         @{ Sid = 'S-1-5-32-545'; Rights = 0x1200A9; Allow = $true })
#     Set-FakeFolderSecurity $machine -Path $folder -RefuseMove 'Access to the path is denied.'
#     Set-FakeFolderSecurity $machine -Path $folder -Unreadable 'Attempted to perform an unauthorized operation.'
#
# $machine.FolderSecurity maps a full path to Owner (SID), Access (entries with Sid, Rights,
# Allow), Protected, RefuseMove (an error moving that folder throws, or "") and Unreadable
# (an error reading its security throws, or ""). A file or folder without an entry reads like
# one a standard user made under ProgramData: owned by that user and inheriting ProgramData's
# permissions, in which Users may add files and folders. Creating a folder stores the security
# descriptor text it is given (owner, "P" for a protected DACL, "(A;flags;0xmask;;;SID)"
# entries; anything else fails the test) and notes "create <path>" in $machine.FolderChanges;
# moving a folder moves it on disk with the security of everything in it and notes
# "set aside <path> as <new path>". As on Windows, creating a folder that exists changes
# nothing, a folder is only created inside an existing one, and a move never replaces anything.
# A handle reads the attributes of what stood at its path when it was opened and the security
# of that very object, even after it was moved; while it is open ($machine.OpenHandles), the
# object cannot be moved: the script holds a folder without sharing delete access. A test
# acts as another user between two of the script's steps with $machine.OnFolderStep, a script
# block that gets the step ("security": the script is about to read a handle's security;
# "closed": it has just closed a handle) and the path (see Move-FakeFolderAsOtherUser).

$script:FakePlayerSid = 'S-1-5-21-1004336348-1177238915-682003330-1001'

# The permissions a folder inherits from ProgramData on Windows 11.
function Get-FakeProgramDataAccess {
    return @(
        [pscustomobject]@{ Sid = 'S-1-5-18'; Rights = [long]0x1F01FF; Allow = $true },
        [pscustomobject]@{ Sid = 'S-1-5-32-544'; Rights = [long]0x1F01FF; Allow = $true },
        [pscustomobject]@{ Sid = 'S-1-3-0'; Rights = [long]0x10000000; Allow = $true },
        [pscustomobject]@{ Sid = 'S-1-5-32-545'; Rights = [long]0x1200A9; Allow = $true },
        [pscustomobject]@{ Sid = 'S-1-5-32-545'; Rights = [long]0x116; Allow = $true }
    )
}

# Adds the folder security tables to a machine once.
function Initialize-FakeFolderSecurityTables {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    if ($null -ne $Machine.PSObject.Properties['FolderSecurity']) { return }
    Add-Member -InputObject $Machine -MemberType NoteProperty -Name FolderSecurity -Value @{}
    Add-Member -InputObject $Machine -MemberType NoteProperty -Name FolderChanges -Value (New-Object System.Collections.Generic.List[string])
    Add-Member -InputObject $Machine -MemberType NoteProperty -Name OpenHandles -Value (New-Object System.Collections.Generic.List[object])
    Add-Member -InputObject $Machine -MemberType NoteProperty -Name OnFolderStep -Value $null
}

# States the owner and permissions of a file or folder (the folder is created when missing).
function Set-FakeFolderSecurity {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Path,
        [string]$Owner = $script:FakePlayerSid,
        [object[]]$Access = (Get-FakeProgramDataAccess),
        [bool]$Protected = $false,
        [string]$RefuseMove = '',
        [string]$Unreadable = ''
    )
    Initialize-FakeFolderSecurityTables $Machine
    if (-not (Test-Path -LiteralPath $Path)) { $null = New-Item -ItemType Directory -Path $Path -Force }
    $entries = @(foreach ($entry in $Access) { [pscustomobject]@{ Sid = [string]$entry.Sid; Rights = [long]$entry.Rights; Allow = [bool]$entry.Allow } })
    $Machine.FolderSecurity[[System.IO.Path]::GetFullPath($Path)] = [pscustomobject]@{ Owner = $Owner; Access = $entries; Protected = $Protected; RefuseMove = $RefuseMove; Unreadable = $Unreadable }
}

# The security of a file or folder as the machine holds it.
function Get-FakeFolderSecurity {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine, [Parameter(Mandatory = $true)][string]$Path)
    Initialize-FakeFolderSecurityTables $Machine
    $record = $Machine.FolderSecurity[[System.IO.Path]::GetFullPath($Path)]
    if ($null -eq $record) {
        $record = [pscustomobject]@{ Owner = $script:FakePlayerSid; Access = @(Get-FakeProgramDataAccess); Protected = $false; RefuseMove = ''; Unreadable = '' }
    }
    return $record
}

# Reads security descriptor text as the script writes it; throws on anything else.
function ConvertFrom-FakeSddl {
    param([Parameter(Mandatory = $true)][string]$Sddl)
    if ($Sddl -notmatch '^O:(?<owner>S-1(-\d+)+)D:(?<protected>P?)(?<entries>.*)$') {
        throw "Unexpected security descriptor text '$Sddl'."
    }
    $owner = $Matches['owner']
    $protected = $Matches['protected'] -eq 'P'
    $rest = $Matches['entries']
    $access = @()
    foreach ($match in [regex]::Matches($rest, '\((?<type>A|D);(?<flags>[A-Z]*);0x(?<mask>[0-9a-f]+);;;(?<sid>S-1(-\d+)+)\)')) {
        $access += [pscustomobject]@{ Sid = $match.Groups['sid'].Value; Rights = [Convert]::ToInt64($match.Groups['mask'].Value, 16); Allow = ($match.Groups['type'].Value -eq 'A'); Flags = $match.Groups['flags'].Value }
    }
    if (($rest -replace '\((A|D);[A-Z]*;0x[0-9a-f]+;;;S-1(-\d+)+\)', '') -ne '') {
        throw "Unexpected entries in security descriptor text '$Sddl'."
    }
    return [pscustomobject]@{ Owner = $owner; Access = $access; Protected = $protected; RefuseMove = ''; Unreadable = '' }
}

# The security record a handle opened now on Path would read: the machine's record for that
# path, stored so that the handle keeps the same record when the object moves.
function Get-FakeHeldRecord {
    param([Parameter(Mandatory = $true)]$Machine, [Parameter(Mandatory = $true)][string]$Path)
    $full = [System.IO.Path]::GetFullPath($Path)
    if (-not $Machine.FolderSecurity.ContainsKey($full)) {
        $Machine.FolderSecurity[$full] = Get-FakeFolderSecurity $Machine -Path $full
    }
    return $Machine.FolderSecurity[$full]
}

# True when the script holds a handle on Path or on a folder inside it.
function Test-FakeHeld {
    param([Parameter(Mandatory = $true)]$Machine, [Parameter(Mandatory = $true)][string]$Path)
    $full = [System.IO.Path]::GetFullPath($Path)
    foreach ($handle in $Machine.OpenHandles) {
        if ($handle.Path -eq $full -or $handle.Path.StartsWith($full + [System.IO.Path]::DirectorySeparatorChar)) { return $true }
    }
    return $false
}

# What another user does to a folder under ProgramData (which they may change: they own it),
# as Windows lets them: renames it to NewPath and, with -LinkTarget, puts a link to that
# folder in its place (call it inside It: under Wine, which makes no links, the test skips). Windows refuses while the script holds the folder open; the refusal is noted in
# $machine.FolderChanges and nothing changes.
function Move-FakeFolderAsOtherUser {
    param(
        [Parameter(Mandatory = $true)]$Machine,
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$NewPath,
        [string]$LinkTarget = ''
    )
    $from = [System.IO.Path]::GetFullPath($Path)
    if (Test-FakeHeld -Machine $Machine -Path $from) {
        $Machine.FolderChanges.Add("refused to another user: move $from")
        return
    }
    $to = [System.IO.Path]::GetFullPath($NewPath)
    [System.IO.Directory]::Move($from, $to)
    foreach ($key in @($Machine.FolderSecurity.Keys)) {
        if ($key -eq $from -or $key.StartsWith($from + [System.IO.Path]::DirectorySeparatorChar)) {
            $Machine.FolderSecurity[$to + $key.Substring($from.Length)] = $Machine.FolderSecurity[$key]
            $Machine.FolderSecurity.Remove($key)
        }
    }
    if ($LinkTarget -ne '') {
        New-TestLink -Path $from -Target $LinkTarget -Directory
        # What a path lookup through the link would read: the target's security.
        $Machine.FolderSecurity[$from] = Get-FakeFolderSecurity $Machine -Path $LinkTarget
    }
    $Machine.FolderChanges.Add("another user moved $from to $to")
}

# Mocks the script's folder security changes with the machine's table (the handles and new
# folders have stand-ins, see Open-FakeFolderHandle). Called by Add-FakeWindowsMocks.
function Use-FakeFolderSecurity {
    if (-not (Get-Command Set-FolderItemSecurity -ErrorAction SilentlyContinue)) { return }
    # The new owner and DACL replace the old ones in the same record, which a handle keeps.
    Mock Set-FolderItemSecurity {
        $full = [System.IO.Path]::GetFullPath($Path)
        $record = Get-FakeHeldRecord -Machine $script:FakeMachine -Path $full
        $security = ConvertFrom-FakeSddl -Sddl $Sddl
        $record.Owner = $security.Owner
        $record.Access = $security.Access
        $record.Protected = $security.Protected
        $script:FakeMachine.FolderChanges.Add("secure $full")
    }
    Mock Move-FolderAside {
        $machine = $script:FakeMachine
        $from = [System.IO.Path]::GetFullPath($Path)
        $to = [System.IO.Path]::GetFullPath($Destination)
        $refusal = (Get-FakeFolderSecurity $machine -Path $from).RefuseMove
        if ($refusal) { throw $refusal }
        if (Test-FakeHeld -Machine $machine -Path $from) { throw 'The process cannot access the file because it is being used by another process.' }
        if ([System.IO.Directory]::Exists($to) -or [System.IO.File]::Exists($to)) {
            throw (New-Object System.IO.IOException "Cannot create '$to' because a file or directory with the same name already exists.")
        }
        [System.IO.Directory]::Move($from, $to)
        # Security travels with the folder and everything in it.
        foreach ($key in @($machine.FolderSecurity.Keys)) {
            if ($key -eq $from -or $key.StartsWith($from + [System.IO.Path]::DirectorySeparatorChar)) {
                $machine.FolderSecurity[$to + $key.Substring($from.Length)] = $machine.FolderSecurity[$key]
                $machine.FolderSecurity.Remove($key)
            }
        }
        $machine.FolderChanges.Add("set aside $from as $to")
    }
}
#endregion

#region Programs and network for whole runs

# For scenarios that run the real runner and the real verified download: the machine's
# programs answer the runner's Start-Process, and its network answers the BITS and web-client
# transfers. Installers do what a real one would leave behind:
#
#     dism.exe                          enables the feature named by /FeatureName:
#     DotNet35Setup-Windows11-26H1.exe  writes the .NET Framework 3.5 setup key
#     a Visual C++ package's file       adds its Uninstall entry (see below)
#     directx_Jun2010_redist.exe        unpacks a Microsoft-signed DXSETUP.exe into /T:"..."
#     DXSETUP.exe                       puts d3dx9_43.dll in the folder for 32-bit programs
#
# Set-FakeProgram overrides a program's exit code (and whether it does its work) for
# arguments that match a wildcard. Downloads are Microsoft-signed when online; offline every
# transfer throws. Everything is recorded: $machine.Started (programs run, full paths) with
# $machine.StartedBeside (what was in each program's folder as it started),
# $machine.Transfers (URLs asked for),
# $machine.Pauses (retry pauses), $machine.Elevations (RunAs starts), $machine.MessageBoxes.
#
#     $machine = New-FakeWindows -Build 19045
#     Add-FakeProgramsAndNetwork $machine -Online $false
#     Set-FakeProgram $machine -Name 'vc14-latest-x64.exe' -ExitCode 3010
#     Use-FakeProgramsAndNetwork

$script:FakeProgramOutput = 'The operation completed successfully.'

# The Uninstall entry a Visual C++ package of the script's table leaves, chosen by the start
# of the row's Name: DisplayName ("{0}" is the row's Architecture) and DisplayVersion. A row
# not listed here leaves "Microsoft <Name> Redistributable", version 1.0. The entry goes to
# WOW6432Node for an x86 package on 64-bit Windows, else to the native view.
$script:FakeVisualCppEntries = [ordered]@{
    'Visual C++ 2005 ' = @('Microsoft Visual C++ 2005 Redistributable', '8.0.61001')
    'Visual C++ 2008 ' = @('Microsoft Visual C++ 2008 Redistributable - {0} 9.0.30729.6161', '9.0.30729.6161')
    'Visual C++ 2010 ' = @('Microsoft Visual C++ 2010  {0} Redistributable - 10.0.40219', '10.0.40219')
    'Visual C++ 2012 ' = @('Microsoft Visual C++ 2012 Redistributable ({0}) - 11.0.61030', '11.0.61030.0')
    'Visual C++ 2013 ' = @('Microsoft Visual C++ 2013 Redistributable ({0}) - 12.0.40664', '12.0.40664.0')
    'Visual C++ v14 '  = @('Microsoft Visual C++ 2015-2022 Redistributable ({0}) - 14.44.35211', '14.44.35211.0')
}

# Adds the Uninstall entry that the package row's installer leaves.
function Add-FakeVisualCppEntry {
    param($Machine, $Package)
    $entry = @(('Microsoft {0} Redistributable' -f $Package.Name), '1.0')
    foreach ($prefix in $script:FakeVisualCppEntries.Keys) {
        if ($Package.Name.StartsWith($prefix)) { $entry = $script:FakeVisualCppEntries[$prefix]; break }
    }
    $view = 'Native'
    if ($Package.Architecture -eq 'x86' -and $Machine.Is64Bit) { $view = 'WOW6432Node' }
    Add-FakeUninstallEntry $Machine -View $view -DisplayName ($entry[0] -f $Package.Architecture) -DisplayVersion $entry[1]
}

# Registers the v14 runtime that a v14 package row installs (Installed = 1, its Version),
# in the 32-bit view for x86 on 64-bit Windows; other rows register nothing.
function Add-FakeV14Registration {
    param($Machine, $Package)
    if (-not $Package.Name.StartsWith('Visual C++ v14 ')) { return }
    $key = 'HKLM:\SOFTWARE\Microsoft\VisualStudio\14.0\VC\Runtimes\' + $Package.Architecture
    if ($Package.Architecture -eq 'x86' -and $Machine.Is64Bit) { $key = 'HKLM:\SOFTWARE\WOW6432Node\Microsoft\VisualStudio\14.0\VC\Runtimes\x86' }
    Set-FakeRegistryValue $Machine -Key $key -Name 'Installed' -Value 1
    Set-FakeRegistryValue $Machine -Key $key -Name 'Version' -Value 'v14.44.35211.00'
}

# Gives a machine its programs and network: DISM in System32, nothing overridden.
function Add-FakeProgramsAndNetwork {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [bool]$Online = $true
    )
    $null = New-FakeFile (Join-Path $Machine.SystemRoot 'System32/dism.exe')
    $Machine | Add-Member -NotePropertyName Online -NotePropertyValue $Online
    $Machine | Add-Member -NotePropertyName ProgramOverrides -NotePropertyValue (New-Object System.Collections.Generic.List[object])
    $Machine | Add-Member -NotePropertyName Transfers -NotePropertyValue (New-Object System.Collections.Generic.List[string])
    $Machine | Add-Member -NotePropertyName Pauses -NotePropertyValue (New-Object System.Collections.Generic.List[int])
    $Machine | Add-Member -NotePropertyName Elevations -NotePropertyValue (New-Object System.Collections.Generic.List[string])
    $Machine | Add-Member -NotePropertyName Started -NotePropertyValue (New-Object System.Collections.Generic.List[string])
    # For each started program, in the same order, the names in its folder as it started.
    $Machine | Add-Member -NotePropertyName StartedBeside -NotePropertyValue (New-Object System.Collections.Generic.List[object])
    $Machine | Add-Member -NotePropertyName MessageBoxes -NotePropertyValue (New-Object System.Collections.Generic.List[object])
}

# Makes a program end with ExitCode when its arguments match ArgumentsLike; with -NoEffect
# it leaves nothing behind, with -NeverEnds it runs until it is stopped, and with -Times n
# the override answers only the next n starts. A later override wins.
function Set-FakeProgram {
    param(
        [Parameter(Mandatory = $true, Position = 0)]$Machine,
        [Parameter(Mandatory = $true)][string]$Name,
        [string]$ArgumentsLike = '*',
        [int]$ExitCode = 0,
        [switch]$NoEffect,
        [switch]$NeverEnds,
        [int]$Times = 0
    )
    $Machine.ProgramOverrides.Add([pscustomobject]@{ Name = $Name; ArgumentsLike = $ArgumentsLike; ExitCode = $ExitCode; NoEffect = [bool]$NoEffect; NeverEnds = [bool]$NeverEnds; TimesLeft = $Times })
}

# What an installer leaves on the machine when it succeeds.
function Invoke-FakeProgramEffect {
    param($Machine, [string]$Name, [string]$Arguments)
    $microsoft = 'CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US'
    $package = @($script:VisualCppPackages | Where-Object { $_.File -eq $Name })
    if ($package.Count -gt 0) {
        Add-FakeVisualCppEntry -Machine $Machine -Package $package[0]
        Add-FakeV14Registration -Machine $Machine -Package $package[0]
        return
    }
    switch -Wildcard ($Name) {
        'dism.exe' {
            if ($Arguments -match '/FeatureName:(\S+)') { $Machine.Features[$Matches[1]] = 'Enabled' }
        }
        'DotNet35Setup-*' {
            Set-FakeRegistryValue $Machine -Key 'HKLM:\SOFTWARE\Microsoft\NET Framework Setup\NDP\v3.5' -Name 'Install' -Value 1
        }
        'directx_Jun2010_redist.exe' {
            if ($Arguments -match '/T:"([^"]+)"') {
                $setup = New-FakeFile (Join-Path $Matches[1] 'DXSETUP.exe')
                $null = New-FakeFile (Join-Path $Matches[1] 'dsetup.dll')
                Set-FakeSignature $Machine -Path $setup -Subject $microsoft
            }
        }
        'DXSETUP.exe' {
            $folder = 'System32'
            if ($Machine.Is64Bit) { $folder = 'SysWOW64' }
            $null = New-FakeFile (Join-Path $Machine.SystemRoot "$folder/d3dx9_43.dll")
        }
    }
}

# A BITS job that has moved the whole file at Path: what Start-BitsTransfer -Asynchronous
# returns for a transfer that ends at once.
function New-FakeBitsJob {
    param([Parameter(Mandatory = $true)][string]$Path)
    $size = [long](Get-Item -LiteralPath $Path -Force).Length
    return [pscustomobject]@{ JobState = 'Transferred'; BytesTransferred = $size; BytesTotal = $size; ErrorDescription = '' }
}

# The answer of a web server that refused a file with an HTTP error status.
class FakeHttpResponse : System.Net.WebResponse {
    [System.Net.HttpStatusCode]$StatusCode
    FakeHttpResponse([int]$Code) { $this.StatusCode = [System.Net.HttpStatusCode]$Code }
}

# What an address serves instead of its Microsoft-signed program, for every transfer from it:
# 'Offline' (the name does not resolve), 'Http404' (the server answers 404), 'Empty' (a file
# of 0 bytes), 'Html' (a web page), 'Unsigned' (a program without signature) or
# 'UnknownBuild' (a Microsoft-signed program whose hash Microsoft never published). A program
# served from a fixed-version address otherwise has the first published SHA-256 of its
# package ($machine.FileHashes, answered by Get-FileSha256 and carried along by copies).
function Set-FakeServedFile {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine, [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][ValidateSet('Offline', 'Http404', 'Empty', 'Html', 'Unsigned', 'UnknownBuild')][string]$Answer)
    if ($null -eq $Machine.PSObject.Properties['ServedFiles']) {
        $Machine | Add-Member -NotePropertyName ServedFiles -NotePropertyValue @{}
    }
    $Machine.ServedFiles[$Url] = $Answer
}

# The first published SHA-256 of the fixed-version package served at the URL, or $null.
function Get-FakePublishedHash {
    param([string]$Url)
    $label = $null
    foreach ($row in $script:VisualCppPackages) {
        if ($row.Url -eq $Url -or $row.FallbackUrl -eq $Url) { $label = $row.Name }
    }
    if ($script:DirectXLegacy.Url -eq $Url) { $label = $script:DirectXLegacy.Label }
    if ($null -eq $label -or -not $script:KnownBuilds.ContainsKey($label)) { return $null }
    return $script:KnownBuilds[$label][0]
}

# Answers one transfer: a Microsoft-signed program at the destination when online, unless
# the address serves something else (Set-FakeServedFile). Errors are the web client's.
function Invoke-FakeTransfer {
    param($Machine, [string]$Url, [string]$Destination)
    $Machine.Transfers.Add($Url)
    Assert-FakeFileNotHeld -Path $Destination
    $Machine.FileHashes.Remove([System.IO.Path]::GetFullPath($Destination))
    $Machine.VersionResources.Remove([System.IO.Path]::GetFullPath($Destination))
    $answer = 'Program'
    if (-not $Machine.Online) { $answer = 'Offline' }
    elseif ($null -ne $Machine.PSObject.Properties['ServedFiles'] -and $Machine.ServedFiles.ContainsKey($Url)) { $answer = $Machine.ServedFiles[$Url] }
    switch ($answer) {
        'Offline' {
            throw (New-Object System.Net.WebException ("The remote name could not be resolved: '{0}'" -f ([uri]$Url).Host), ([System.Net.WebExceptionStatus]::NameResolutionFailure))
        }
        'Http404' {
            throw (New-Object System.Net.WebException 'The remote server returned an error: (404) Not Found.', $null, ([System.Net.WebExceptionStatus]::ProtocolError), ([FakeHttpResponse]::new(404)))
        }
        'Empty' { $null = New-FakeFile $Destination -Content '' }
        'Html' { $null = New-FakeFile $Destination -Content '<!DOCTYPE html><html><body>Sign in to the hotel network</body></html>' }
        'Unsigned' { $null = New-FakeFile $Destination -Content ('MZ' + $Url) }
        'UnknownBuild' {
            $null = New-FakeFile $Destination -Content ('MZ rebuilt ' + $Url)
            Set-FakeSignature $Machine -Path $Destination
        }
        default {
            $full = New-FakeFile $Destination -Content ('MZ' + $Url)
            Set-FakeSignature $Machine -Path $Destination
            $published = Get-FakePublishedHash -Url $Url
            if ($null -ne $published) { $Machine.FileHashes[$full] = $published }
            $resource = Get-FakeServedVersionResource -Url $Url
            if ($null -ne $resource) { $Machine.VersionResources[$full] = $resource }
        }
    }
}

# Answers the programs, the transfers, the retry pauses, the elevation and the message box
# from the machine (mocked unless the block defined them, see Enable-FakeMocks). Call it
# inside BeforeEach or It, after Use-FakeWindows.
function Use-FakeProgramsAndNetwork {
    if (-not (Test-FakeMocksEnabled -Set ProgramsAndNetwork)) {
        Add-FakeProgramsAndNetworkMocks
    }
}

# Mocks the programs, the transfers, the retry pauses, the elevation and the message box
# with $script:FakeMachine.
function Add-FakeProgramsAndNetworkMocks {
    Mock Wait-RetryPause { $script:FakeMachine.Pauses.Add($Seconds) }
    Mock Show-MessageBox { $script:FakeMachine.MessageBoxes.Add([pscustomobject]@{ Text = $Text; Caption = $Caption; Icon = [string]$Icon }) }
    Mock Import-Module -ParameterFilter { $Name -contains 'BitsTransfer' } { }
    Mock Start-BitsTransfer {
        Invoke-FakeTransfer -Machine $script:FakeMachine -Url $Source -Destination $Destination
        New-FakeBitsJob -Path $Destination
    }
    Mock Complete-BitsTransfer { }
    Mock Remove-BitsTransfer { }
    Mock Invoke-WebClientDownload { Invoke-FakeTransfer -Machine $script:FakeMachine -Url $Url -Destination $Destination }
    Mock Start-Process -ParameterFilter { $Verb -eq 'RunAs' } {
        $script:FakeMachine.Elevations.Add(('{0} {1}' -f $FilePath, (@($ArgumentList) -join ' ')))
    }
    Mock Start-Process -ParameterFilter { $Verb -ne 'RunAs' } {
        $machine = $script:FakeMachine
        $arguments = @($ArgumentList) -join ' '
        if (-not (Test-Path -LiteralPath $FilePath -PathType Leaf)) {
            throw ("This command cannot be run due to the error: The system cannot find the file specified. ({0})" -f $FilePath)
        }
        $machine.Started.Add([System.IO.Path]::GetFullPath($FilePath))
        $machine.StartedBeside.Add(@(Get-ChildItem -LiteralPath (Split-Path -Parent $FilePath) -Force -Name))
        $name = Split-Path -Leaf $FilePath
        $exitCode = 0
        $effect = $true
        $neverEnds = $false
        $answering = $null
        foreach ($override in $machine.ProgramOverrides) {
            if ($name -eq $override.Name -and $arguments -like $override.ArgumentsLike -and $override.TimesLeft -ge 0) {
                $answering = $override
            }
        }
        if ($null -ne $answering) {
            $exitCode = $answering.ExitCode
            $effect = -not $answering.NoEffect
            $neverEnds = $answering.NeverEnds
            # A counted override is used up after its last start.
            if ($answering.TimesLeft -gt 0) {
                $answering.TimesLeft--
                if ($answering.TimesLeft -eq 0) { $answering.TimesLeft = -1 }
            }
        }
        Assert-FakeFileNotHeld -Path $RedirectStandardOutput
        Assert-FakeFileNotHeld -Path $RedirectStandardError
        [System.IO.File]::WriteAllText($RedirectStandardOutput, $script:FakeProgramOutput)
        [System.IO.File]::WriteAllText($RedirectStandardError, '')
        if ($neverEnds) {
            return [pscustomobject]@{ Id = 4000 + $machine.Started.Count; HasExited = $false; ExitCode = $null }
        }
        if ($effect) { Invoke-FakeProgramEffect -Machine $machine -Name $name -Arguments $arguments }
        [pscustomobject]@{ Id = 4000 + $machine.Started.Count; HasExited = $true; ExitCode = $exitCode }
    }
}
#endregion

#region The runner's clock, process tree and Windows Installer's mutex

# The runner's waits run on the machine's own clock: $machine.WatchTime (UTC) moves on by
# $machine.WatchStepSeconds at each slice the runner waits, so an hour passes in a moment.
# Windows Installer is busy while $machine.WatchTime is before $machine.InstallerBusyUntil
# (Set-FakeInstallerBusy). The programs a started program starts are not simulated (the
# process table is empty); ending a process tree notes its ids in $machine.StoppedTrees.
#
#     Set-FakeInstallerBusy $machine -Minutes 3

# Adds the clock and the Windows Installer state to a machine once.
function Initialize-FakeWatch {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    if ($null -ne $Machine.PSObject.Properties['WatchTime']) { return }
    # Long before any file the tests write, so that a file of the test run has no age.
    $start = [datetime]::new(2000, 1, 15, 9, 0, 0, [DateTimeKind]::Utc)
    $Machine | Add-Member -NotePropertyName WatchTime -NotePropertyValue $start
    $Machine | Add-Member -NotePropertyName WatchStepSeconds -NotePropertyValue 15
    $Machine | Add-Member -NotePropertyName InstallerBusyUntil -NotePropertyValue $start
    $Machine | Add-Member -NotePropertyName StoppedTrees -NotePropertyValue (New-Object System.Collections.Generic.List[string])
}

# Makes Windows Installer busy for the next Minutes of the machine's clock.
function Set-FakeInstallerBusy {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine, [Parameter(Mandatory = $true)][double]$Minutes)
    Initialize-FakeWatch $Machine
    $Machine.InstallerBusyUntil = $Machine.WatchTime.AddMinutes($Minutes)
}

# Mocks the runner's slices and ending a tree (the clock, the process table and the mutex
# probe have stand-ins, see Get-FakeWatchTime). Called by Add-FakeWindowsMocks.
function Use-FakeWatch {
    if (-not (Get-Command Wait-WatchSlice -ErrorAction SilentlyContinue)) { return }
    # A real program (the runner's tests start some) gets real time to end before the
    # machine's clock moves on, so that a slow host (Wine) does not make it look hung.
    Mock Wait-WatchSlice {
        if ($Process -is [System.Diagnostics.Process] -and -not $Process.HasExited) { $null = $Process.WaitForExit(10000) }
        $script:FakeMachine.WatchTime = $script:FakeMachine.WatchTime.AddSeconds($script:FakeMachine.WatchStepSeconds)
    }
    Mock Stop-ProcessTree { $script:FakeMachine.StoppedTrees.Add((@($ProcessIds) -join ' ')) }
}
#endregion

#region System folders, random names and copies of signed files

# The Windows and Program Files folders as the system reports them are the machine's; the
# system drive is C:. Random name tails come from $machine.RandomTails while it holds any
# (first out first), then count up: the n-th tail drawn on the machine is n as 16 hex digits
# (Get-FakeRandomTail 1 is "0000000000000001"). A copy of a file carries its Authenticode
# answer along, as a signature embedded in the file would.
#
#     $machine.RandomTails.Add('00000000000000aa')

# Gives a folder (created when missing) the owner and protected permissions this tool gives
# its own folders, as an administrator who took it over by hand would: Users may read it,
# except with -Private.
function Set-FakePrivateFolder {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine, [Parameter(Mandatory = $true)][string]$Path, [string]$Owner = 'S-1-5-32-544', [switch]$Private)
    $access = @(
        @{ Sid = 'S-1-5-18'; Rights = 0x1F01FF; Allow = $true },
        @{ Sid = 'S-1-5-32-544'; Rights = 0x1F01FF; Allow = $true })
    if (-not $Private) { $access += @{ Sid = 'S-1-5-32-545'; Rights = 0x1200A9; Allow = $true } }
    Set-FakeFolderSecurity $Machine -Path $Path -Owner $Owner -Protected $true -Access $access
}

# The n-th counted random tail.
function Get-FakeRandomTail {
    param([Parameter(Mandatory = $true, Position = 0)][int]$Number)
    return $Number.ToString('x16', [Globalization.CultureInfo]::InvariantCulture)
}

# Adds the random tails to a machine once.
function Initialize-FakeRandomTails {
    param([Parameter(Mandatory = $true, Position = 0)]$Machine)
    if ($null -ne $Machine.PSObject.Properties['RandomTails']) { return }
    Add-Member -InputObject $Machine -MemberType NoteProperty -Name RandomTails -Value (New-Object System.Collections.Generic.List[string])
    Add-Member -InputObject $Machine -MemberType NoteProperty -Name RandomTailsDrawn -Value 0
}

# Mocks the system folders (the random tails, copies and hashes have stand-ins, see
# Get-FakeRandomHexTail). Called by Add-FakeWindowsMocks.
function Use-FakeRunFolders {
    if (-not (Get-Command Get-ProgramFilesFolder -ErrorAction SilentlyContinue)) { return }
    Mock Get-ProgramFilesFolder { $script:FakeMachine.ProgramFiles }
    Mock Get-SystemDrive { 'C:' }
}
#endregion
