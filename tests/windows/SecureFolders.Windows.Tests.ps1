#Requires -RunAsAdministrator
# Folder security on a real Windows machine: owners, DACLs, junctions and symbolic links,
# which the Linux suite can only describe through its fake. Run it elevated in Windows
# PowerShell 5.1 with Pester 5 (see README.md). It works in folders of its own under
# ProgramData and TEMP and removes them at the end.

BeforeAll {
    . (Join-Path $PSScriptRoot '..\..\dist\ORVELLE-Prerequisites.ps1')

    $script:SidType = [System.Security.Principal.SecurityIdentifier]
    $script:AdminsSid = 'S-1-5-32-544'
    $script:SystemSid = 'S-1-5-18'
    $script:UsersSid = 'S-1-5-32-545'
    $script:GuestsSid = 'S-1-5-32-546'
    $script:MySid = [System.Security.Principal.WindowsIdentity]::GetCurrent().User.Value
    $suffix = [guid]::NewGuid().ToString('N').Substring(0, 8)
    # Inside ProgramData and inheriting from it, like the real ORVELLE folder's parent.
    $script:TestRoot = Join-Path $env:ProgramData ('ORVELLE-WindowsTest-' + $suffix)
    $script:OutsideRoot = Join-Path $env:TEMP ('ORVELLE-Sentinel-' + $suffix)
    $null = New-Item -ItemType Directory -Path $script:TestRoot
    $null = New-Item -ItemType Directory -Path $script:OutsideRoot

    function Get-Rules {
        param([string]$Path)
        return @((Get-Acl -LiteralPath $Path).GetAccessRules($true, $true, $script:SidType))
    }

    function Get-OwnerSid {
        param([string]$Path)
        return (Get-Acl -LiteralPath $Path).GetOwner($script:SidType).Value
    }

    # Gives an item the owner and the protected DACL of the given SDDL, as a standard user
    # could have left it. Set-Acl enables the restore privilege needed for a foreign owner.
    function Set-TestSecurity {
        param([string]$Path, [string]$Sddl)
        if (Test-Path -LiteralPath $Path -PathType Container) {
            $security = New-Object System.Security.AccessControl.DirectorySecurity
        } else {
            $security = New-Object System.Security.AccessControl.FileSecurity
        }
        $security.SetSecurityDescriptorSddlForm($Sddl)
        Set-Acl -LiteralPath $Path -AclObject $security
    }

    # A folder outside ProgramData with a file, that planted links point to.
    function New-Sentinel {
        param([string]$Name)
        $folder = Join-Path $script:OutsideRoot $Name
        $null = New-Item -ItemType Directory -Path $folder
        $file = Join-Path $folder 'slot1.sav'
        [System.IO.File]::WriteAllText($file, 'precious')
        return [pscustomobject]@{
            Folder     = $folder
            File       = $file
            FolderSddl = (Get-Acl -LiteralPath $folder).Sddl
            FileSddl   = (Get-Acl -LiteralPath $file).Sddl
        }
    }

    function Assert-SentinelIntact {
        param($Sentinel)
        [System.IO.File]::ReadAllText($Sentinel.File) | Should -BeExactly 'precious'
        (Get-Acl -LiteralPath $Sentinel.Folder).Sddl | Should -BeExactly $Sentinel.FolderSddl
        (Get-Acl -LiteralPath $Sentinel.File).Sddl | Should -BeExactly $Sentinel.FileSddl
    }

    # Checks the protection this tool gives its folders, read back from Windows: Users may
    # read and list it, except a -Private one (Downloads, Reports), which they may not open.
    function Assert-PrivateFolder {
        param([string]$Path, [switch]$Private)
        $item = Get-Item -LiteralPath $Path -Force
        ($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint) | Should -Be 0
        Get-OwnerSid $Path | Should -Be $script:AdminsSid
        (Get-Acl -LiteralPath $Path).AreAccessRulesProtected | Should -BeTrue
        $expected = @(
            ('{0} {1} Allow False ContainerInherit, ObjectInherit None' -f $script:SystemSid, 0x1F01FF),
            ('{0} {1} Allow False ContainerInherit, ObjectInherit None' -f $script:AdminsSid, 0x1F01FF))
        if (-not $Private) {
            $expected += ('{0} {1} Allow False ContainerInherit, ObjectInherit None' -f $script:UsersSid, 0x1200A9)
        }
        $expected = $expected | Sort-Object
        $actual = @(Get-Rules $Path | ForEach-Object {
                '{0} {1} {2} {3} {4} {5}' -f $_.IdentityReference.Value, [int]$_.FileSystemRights, $_.AccessControlType, $_.IsInherited, $_.InheritanceFlags, $_.PropagationFlags
            }) | Sort-Object
        $actual | Should -Be $expected
        Get-FolderSafetyProblem -Path $Path | Should -BeExactly ''
    }

    # Checks that an item inside a secured folder is owned by Administrators and has only
    # the permissions it inherits, none of them letting Users write.
    function Assert-InheritingItem {
        param([string]$Path)
        Get-OwnerSid $Path | Should -Be $script:AdminsSid
        $rules = Get-Rules $Path
        @($rules).Count | Should -BeGreaterThan 0
        @($rules | Where-Object { -not $_.IsInherited }) | Should -BeNullOrEmpty
        @($rules | Where-Object { $_.IdentityReference.Value -eq $script:UsersSid -and ([int]$_.FileSystemRights -band $script:FolderWriteRights) -ne 0 }) | Should -BeNullOrEmpty
    }

    function Test-Exists {
        param([string]$Path)
        return ($null -ne (Get-FolderItemAttributes -Path $Path))
    }

    # A real second account: a standard local user made for this suite and removed at the end.
    # Its steps run in its own Windows PowerShell process with its own token, so the folders
    # and files it makes really are its own, as on a shared family PC.
    $script:OtherUserName = 'orvtest' + $suffix
    $otherPassword = ConvertTo-SecureString ('Aa1!' + [guid]::NewGuid().ToString('N')) -AsPlainText -Force
    $null = New-LocalUser -Name $script:OtherUserName -Password $otherPassword -AccountNeverExpires -PasswordNeverExpires -UserMayNotChangePassword
    $script:OtherUserSid = (Get-LocalUser -Name $script:OtherUserName).SID.Value
    # Some Windows editions put a new account in Users by themselves.
    try {
        Add-LocalGroupMember -SID $script:UsersSid -Member $script:OtherUserName -ErrorAction Stop
    } catch {
        if ($_.FullyQualifiedErrorId -notlike 'MemberExists*') { throw }
    }
    $script:OtherUserPassword = $otherPassword
    # Every process started as the other user, so that none outlives the suite.
    $script:OtherUserProcesses = New-Object System.Collections.Generic.List[System.Diagnostics.Process]
    # Where the other user's processes and this suite signal each other (Users may add files here).
    $script:SignalRoot = Join-Path $script:TestRoot 'Signals'
    $null = New-Item -ItemType Directory -Path $script:SignalRoot

    # Starts Windows PowerShell as the other user with the given script. With -Wait it waits
    # and returns the exit code, otherwise it returns the process. Windows PowerShell's
    # Start-Process -Credential -PassThru gives a process without a handle, whose ExitCode
    # reads as nothing; a System.Diagnostics.Process started here keeps its handle.
    function Start-AsOtherUser {
        param([string]$Script, [switch]$Wait)
        $encoded = [Convert]::ToBase64String([System.Text.Encoding]::Unicode.GetBytes("`$ErrorActionPreference = 'Stop'`n" + $Script))
        $start = New-Object System.Diagnostics.ProcessStartInfo
        $start.FileName = "$env:SystemRoot\System32\WindowsPowerShell\v1.0\powershell.exe"
        $start.Arguments = "-NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand $encoded"
        $start.UserName = $script:OtherUserName
        $start.Domain = $env:COMPUTERNAME
        $start.Password = $script:OtherUserPassword
        $start.LoadUserProfile = $true
        $start.UseShellExecute = $false
        $start.CreateNoWindow = $true
        $start.WorkingDirectory = $env:SystemRoot
        $process = [System.Diagnostics.Process]::Start($start)
        $script:OtherUserProcesses.Add($process)
        if (-not $Wait) { return $process }
        $process.WaitForExit()
        return $process.ExitCode
    }

    function Wait-Signal {
        param([string]$Name)
        $path = Join-Path $script:SignalRoot $Name
        for ($i = 0; $i -lt 600 -and -not (Test-Path -LiteralPath $path); $i++) { Start-Sleep -Milliseconds 100 }
        Test-Path -LiteralPath $path | Should -BeTrue -Because "the other user's process signals '$Name'"
        return [System.IO.File]::ReadAllText($path).Trim()
    }

    # The other user's side of holding a folder open: opens it with WRITE_DAC (share read, write
    # and delete), says "ready", waits for "go", then tries to give Everyone full control through
    # that old handle and writes whether Windows let it.
    function Get-HolderScript {
        param([string]$Folder)
        return @"
Add-Type -TypeDefinition @'
using System;
using System.Runtime.InteropServices;
public static class HeldFolder {
    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    public static extern IntPtr CreateFileW(string path, uint access, uint share, IntPtr security, uint disposition, uint flags, IntPtr template);
    [DllImport("advapi32.dll", SetLastError = true)]
    public static extern bool SetKernelObjectSecurity(IntPtr handle, uint information, byte[] descriptor);
}
'@
`$handle = [HeldFolder]::CreateFileW('$Folder', 0x40000 -bor 0x20000, 7, [IntPtr]::Zero, 3, 0x02000000, [IntPtr]::Zero)
if (`$handle -eq [IntPtr](-1)) { exit 2 }
[System.IO.File]::WriteAllText('$script:SignalRoot\ready', 'ready')
while (-not (Test-Path -LiteralPath '$script:SignalRoot\go')) { Start-Sleep -Milliseconds 100 }
`$sd = New-Object System.Security.AccessControl.RawSecurityDescriptor 'D:(A;OICI;FA;;;WD)'
`$bytes = New-Object byte[] `$sd.BinaryLength
`$sd.GetBinaryForm(`$bytes, 0)
[System.IO.File]::WriteAllText('$script:SignalRoot\done', [string][HeldFolder]::SetKernelObjectSecurity(`$handle, 4, `$bytes))
"@
    }
}

# A run holds the folders it checked until it ends; each test is a run of its own.
AfterEach {
    Close-HeldFolders
}

AfterAll {
    if ($script:OtherUserSid) {
        # A process the other user still runs (a holder a failed test never released) keeps
        # its profile loaded.
        foreach ($process in @($script:OtherUserProcesses)) {
            if ($process.HasExited) { continue }
            try {
                $process.Kill()
                $null = $process.WaitForExit(10000)
            } catch {
                Write-Warning "Process $($process.Id) of $($script:OtherUserName) could not be ended: $($_.Exception.Message)"
            }
        }
        # Windows unloads a profile a little after its last process ends; until then the
        # profile cannot be deleted. The account goes in any case.
        for ($attempt = 1; $attempt -le 15; $attempt++) {
            $userProfile = @(Get-CimInstance -ClassName Win32_UserProfile | Where-Object { $_.SID -eq $script:OtherUserSid })
            if ($userProfile.Count -eq 0) { break }
            try {
                $userProfile | Remove-CimInstance -ErrorAction Stop
                break
            } catch {
                if ($attempt -eq 15) { Write-Warning "The profile of $($script:OtherUserName) stays on this machine: $($_.Exception.Message)" }
                Start-Sleep -Seconds 2
            }
        }
        Remove-LocalUser -SID $script:OtherUserSid
    }
    # rmdir /s removes junctions and symbolic links without entering them.
    foreach ($folder in @($script:TestRoot, $script:OutsideRoot)) {
        if (Test-Path -LiteralPath $folder) { cmd.exe /c "rmdir /s /q `"$folder`"" }
    }
}

Describe 'A folder the script creates' {
    It 'gets owner Administrators and only SYSTEM and Administrators full control and Users read and execute, none inherited from ProgramData' {
        $folder = Join-Path $script:TestRoot 'Created'
        (Initialize-SecuredFolder -Path $folder).Outcome | Should -Be 'Created'
        Assert-PrivateFolder $folder
    }

    It 'passes its protection on to what is created inside it, and is accepted unchanged on the next check' {
        $folder = Join-Path $script:TestRoot 'CreatedThenUsed'
        $null = Initialize-SecuredFolder -Path $folder
        $file = Join-Path $folder 'installer.exe'
        [System.IO.File]::WriteAllText($file, 'x')
        $sub = Join-Path $folder 'DirectX-June2010'
        $null = New-Item -ItemType Directory -Path $sub
        Assert-InheritingItem $file
        Assert-InheritingItem $sub
        $before = (Get-Acl -LiteralPath $folder).Sddl
        (Initialize-SecuredFolder -Path $folder).Outcome | Should -Be 'Verified'
        (Get-Acl -LiteralPath $folder).Sddl | Should -BeExactly $before
    }

    It 'is made private in place when Users could read it (Downloads of an earlier version), and so is what is in it' {
        $folder = Join-Path $script:TestRoot 'ReadableDownloads'
        $null = Initialize-SecuredFolder -Path $folder
        $file = Join-Path $folder 'vc2013-x86.exe'
        [System.IO.File]::WriteAllText($file, 'cached')

        $result = Initialize-SecuredFolder -Path $folder -Access Private

        $result.Notes | Should -Be @("Made $folder private to administrators because $($script:UsersSid) may read it.")
        Assert-PrivateFolder $folder -Private
        @(Get-Rules $file | Where-Object { $_.IdentityReference.Value -eq $script:UsersSid }) | Should -BeNullOrEmpty
        [System.IO.File]::ReadAllText($file) | Should -BeExactly 'cached'
    }
}

Describe 'A folder that existed before the script' {
    It 'made by another standard user, with planted files and links inside, is set aside whole and replaced by a private folder' {
        $sentinel = New-Sentinel 'Saves'
        $folder = Join-Path $script:TestRoot 'UserMade'
        $exit = Start-AsOtherUser -Wait -Script @"
`$sub = New-Item -ItemType Directory -Path '$folder\Game Support' -Force
[System.IO.File]::WriteAllText('$folder\Game Support\version.dll', 'planted')
Copy-Item -LiteralPath "`$env:SystemRoot\System32\notepad.exe" -Destination '$folder\Game Support\vc14-latest-x64.exe'
cmd.exe /c mklink /J "$folder\Junction" "$($sentinel.Folder)" | Out-Null
"@
        $exit | Should -Be 0
        Get-OwnerSid $folder | Should -Be $script:OtherUserSid
        $before = (Get-Acl -LiteralPath (Join-Path $folder 'Game Support\version.dll')).Sddl

        $result = Initialize-SecuredFolder -Path $folder

        $result.Outcome | Should -Be 'Replaced'
        Assert-PrivateFolder $folder
        @(Get-ChildItem -LiteralPath $folder -Force) | Should -BeNullOrEmpty
        $aside = @(Get-ChildItem -LiteralPath $script:TestRoot -Directory -Force -Filter 'UserMade.untrusted-*')
        $aside.Count | Should -Be 1
        Get-OwnerSid $aside[0].FullName | Should -Be $script:OtherUserSid
        (Get-Acl -LiteralPath (Join-Path $aside[0].FullName 'Game Support\version.dll')).Sddl | Should -BeExactly $before
        Assert-SentinelIntact $sentinel
    }

    It 'that shuts Administrators out entirely (foreign owner, no entry for them) is still set aside' {
        $folder = Join-Path $script:TestRoot 'LockedOut'
        $null = New-Item -ItemType Directory -Path (Join-Path $folder 'inner')
        Set-TestSecurity $folder ('O:{0}D:P(A;OICI;FA;;;{0})' -f $script:GuestsSid)

        (Initialize-SecuredFolder -Path $folder).Outcome | Should -Be 'Replaced'

        Assert-PrivateFolder $folder
        @(Get-ChildItem -LiteralPath $script:TestRoot -Directory -Force -Filter 'LockedOut.untrusted-*').Count | Should -Be 1
    }

    It 'that is a junction is removed as a junction and replaced by a private folder; its target survives unchanged' {
        $sentinel = New-Sentinel 'JunctionTarget'
        $folder = Join-Path $script:TestRoot 'IsJunction'
        $null = New-Item -ItemType Junction -Path $folder -Value $sentinel.Folder

        $result = Initialize-SecuredFolder -Path $folder

        $result.Outcome | Should -Be 'Replaced'
        $result.Notes | Should -Be @("Removed the link at $folder; a new private folder takes its place.")
        Assert-PrivateFolder $folder
        Test-Exists (Join-Path $folder 'slot1.sav') | Should -BeFalse
        Assert-SentinelIntact $sentinel
    }
}

Describe 'A run on a machine where another standard user prepared ProgramData' {
    BeforeEach {
        $savedProgramData = $env:ProgramData
        $env:ProgramData = Join-Path $script:TestRoot ('Shared-' + [guid]::NewGuid().ToString('N').Substring(0, 8))
        $null = New-Item -ItemType Directory -Path $env:ProgramData
        foreach ($signal in 'ready', 'go', 'done') { Remove-Item -LiteralPath (Join-Path $script:SignalRoot $signal) -ErrorAction SilentlyContinue }
        $script:LogPath = ''
        $script:WorkDir = ''
        $downloads = Join-Path $env:ProgramData 'ORVELLE\Game Support\Downloads'
        $exit = Start-AsOtherUser -Wait -Script @"
`$null = New-Item -ItemType Directory -Path '$downloads' -Force
Copy-Item -LiteralPath "`$env:SystemRoot\System32\notepad.exe" -Destination '$downloads\vc14-latest-x64.exe'
[System.IO.File]::WriteAllText('$downloads\vc14-latest-x64.exe.config', '<configuration/>')
[System.IO.File]::WriteAllText('$downloads\version.dll', 'planted')
"@
        $exit | Should -Be 0
    }
    AfterEach {
        $script:LogPath = ''
        $env:ProgramData = $savedProgramData
    }

    It 'holding a WRITE_DAC handle on the top folder it made: the handle follows it aside and cannot change the new one' {
        $vendor = Join-Path $env:ProgramData 'ORVELLE'
        $holder = Start-AsOtherUser -Script (Get-HolderScript -Folder $vendor)
        Wait-Signal 'ready' | Should -Be 'ready'

        Initialize-SetupFolders

        [System.IO.File]::WriteAllText((Join-Path $script:SignalRoot 'go'), 'go')
        Wait-Signal 'done' | Should -Be 'True'
        $holder.WaitForExit()
        foreach ($folder in @('ORVELLE', 'ORVELLE\Game Support', 'ORVELLE\Game Support\Downloads', 'ORVELLE\Game Support\Logs')) {
            Assert-PrivateFolder (Join-Path $env:ProgramData $folder) -Private:($folder -like '*Downloads')
        }
        @(Get-ChildItem -LiteralPath $script:WorkDir -Force) | Should -BeNullOrEmpty
        $aside = @(Get-ChildItem -LiteralPath $env:ProgramData -Directory -Force -Filter 'ORVELLE.untrusted-*')
        $aside.Count | Should -Be 1
        # The old handle did work, on the folder set aside.
        @(Get-Rules $aside[0].FullName | Where-Object { $_.IdentityReference.Value -eq 'S-1-1-0' }).Count | Should -BeGreaterThan 0
        $exit = Start-AsOtherUser -Wait -Script "[System.IO.File]::WriteAllText('$($script:WorkDir)\version.dll', 'planted')"
        $exit | Should -Not -Be 0 -Because 'the other user cannot add anything to the folder installers run from'
        $exit = Start-AsOtherUser -Wait -Script "`$null = [System.IO.Directory]::GetFileSystemEntries('$($script:WorkDir)')"
        $exit | Should -Not -Be 0 -Because 'the other user cannot even list the downloads'
    }

    It 'holding a WRITE_DAC handle on Downloads: the run sets the tree aside or works beside it, and never uses a folder that user could change' {
        $holder = Start-AsOtherUser -Script (Get-HolderScript -Folder $downloads)
        Wait-Signal 'ready' | Should -Be 'ready'
        $stopped = ''
        try {
            Initialize-SetupFolders
        } catch {
            # NTFS may refuse to rename a folder while something inside it is open.
            $stopped = $_.Exception.Message
        }
        [System.IO.File]::WriteAllText((Join-Path $script:SignalRoot 'go'), 'go')
        $null = Wait-Signal 'done'
        $holder.WaitForExit()
        # NTFS may refuse to rename a folder while something inside it is open: the run then
        # works in a fresh private folder beside the blocked one instead of stopping.
        $stopped | Should -BeExactly ''
        $product = Split-Path -Parent $script:WorkDir
        foreach ($folder in @((Split-Path -Parent $product), $product, $script:WorkDir, (Split-Path -Parent $script:LogPath))) {
            Assert-PrivateFolder $folder -Private:($folder -eq $script:WorkDir)
        }
        @(Get-ChildItem -LiteralPath $script:WorkDir -Force) | Should -BeNullOrEmpty
    }
}

Describe 'The run''s own folders and log file' {
    BeforeEach {
        $savedProgramData = $env:ProgramData
        $env:ProgramData = Join-Path $script:TestRoot ('Run-' + [guid]::NewGuid().ToString('N').Substring(0, 8))
        $null = New-Item -ItemType Directory -Path $env:ProgramData
        $script:LogPath = ''
        $script:WorkDir = ''
    }
    AfterEach {
        $script:LogPath = ''
        $env:ProgramData = $savedProgramData
    }

    It 'are private folders, and a leftover log file of the same name owned by a user is replaced by a new one' {
        Mock Get-Date { [datetime]'2026-03-04T05:06:07' }
        $logs = Join-Path $env:ProgramData 'ORVELLE\Game Support\Logs'
        Initialize-SetupFolders
        foreach ($folder in @('ORVELLE', 'ORVELLE\Game Support', 'ORVELLE\Game Support\Downloads', 'ORVELLE\Game Support\Logs')) {
            Assert-PrivateFolder (Join-Path $env:ProgramData $folder) -Private:($folder -like '*Downloads')
        }
        $script:LogPath | Should -Be (Join-Path $logs 'Setup-20260304-050607.log')
        [System.IO.File]::WriteAllText($script:LogPath, 'left over')
        Set-TestSecurity $script:LogPath ('O:{0}D:P(A;;FA;;;{0})(A;;FA;;;BU)' -f $script:MySid)

        Initialize-SetupFolders

        (Get-Item -LiteralPath $script:LogPath).Length | Should -Be 0
        Assert-InheritingItem $script:LogPath
    }
}
