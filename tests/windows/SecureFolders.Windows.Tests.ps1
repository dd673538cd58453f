#Requires -RunAsAdministrator
# Folder security on a real Windows machine: owners, DACLs, junctions and symbolic links,
# which the Linux suite can only describe through its fake. Run it elevated in Windows
# PowerShell 5.1 with Pester 5 (see README.md). It works in folders of its own under
# ProgramData and TEMP and removes them at the end.

BeforeAll {
    . (Join-Path $PSScriptRoot '..\..\setup-script\ORVELLE-Prerequisites.ps1')

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

    # Checks the protection this tool gives its folders, read back from Windows.
    function Assert-PrivateFolder {
        param([string]$Path)
        $item = Get-Item -LiteralPath $Path -Force
        ($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint) | Should -Be 0
        Get-OwnerSid $Path | Should -Be $script:AdminsSid
        (Get-Acl -LiteralPath $Path).AreAccessRulesProtected | Should -BeTrue
        $expected = @(
            ('{0} {1} Allow False ContainerInherit, ObjectInherit None' -f $script:SystemSid, 0x1F01FF),
            ('{0} {1} Allow False ContainerInherit, ObjectInherit None' -f $script:AdminsSid, 0x1F01FF),
            ('{0} {1} Allow False ContainerInherit, ObjectInherit None' -f $script:UsersSid, 0x1200A9)
        ) | Sort-Object
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
}

AfterAll {
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
}

Describe 'A folder that existed before the script' {
    It 'owned by the user who made it, with a junction, symbolic links and a nested junction inside, is taken over and every link target survives unchanged' {
        $sentinel = New-Sentinel 'Saves'
        $folder = Join-Path $script:TestRoot 'UserMade'
        $sub = Join-Path $folder 'Game Support'
        $null = New-Item -ItemType Directory -Path $sub
        [System.IO.File]::WriteAllText((Join-Path $sub 'version.dll'), 'planted')
        # The user owns it; the user and Users may change it; Administrators are not listed.
        # Set before the links exist, so that only the take-over meets them.
        Set-TestSecurity $sub ('O:{0}D:P(A;OICI;FA;;;{0})' -f $script:MySid)
        Set-TestSecurity $folder ('O:{0}D:P(A;OICI;FA;;;{0})(A;OICI;0x1301bf;;;BU)' -f $script:MySid)
        $links = @(
            (New-Item -ItemType Junction -Path (Join-Path $folder 'Junction') -Value $sentinel.Folder).FullName,
            (New-Item -ItemType Junction -Path (Join-Path $sub 'NestedJunction') -Value $sentinel.Folder).FullName,
            (New-Item -ItemType SymbolicLink -Path (Join-Path $folder 'FolderLink') -Value $sentinel.Folder).FullName,
            (New-Item -ItemType SymbolicLink -Path (Join-Path $sub 'FileLink.sav') -Value $sentinel.File).FullName
        )
        Get-FolderSafetyProblem -Path $folder | Should -Not -BeExactly ''

        (Initialize-SecuredFolder -Path $folder).Outcome | Should -Be 'TakenOver'

        Assert-PrivateFolder $folder
        Assert-InheritingItem $sub
        Assert-InheritingItem (Join-Path $sub 'version.dll')
        foreach ($link in $links) { Test-Exists $link | Should -BeFalse }
        Assert-SentinelIntact $sentinel
    }

    It 'that shuts Administrators out entirely (foreign owner, no entry for them) is still taken over' {
        $folder = Join-Path $script:TestRoot 'LockedOut'
        $null = New-Item -ItemType Directory -Path (Join-Path $folder 'inner')
        Set-TestSecurity (Join-Path $folder 'inner') ('O:{0}D:P(A;OICI;FA;;;{0})' -f $script:GuestsSid)
        Set-TestSecurity $folder ('O:{0}D:P(A;OICI;FA;;;{0})' -f $script:GuestsSid)

        (Initialize-SecuredFolder -Path $folder).Outcome | Should -Be 'TakenOver'

        Assert-PrivateFolder $folder
        Assert-InheritingItem (Join-Path $folder 'inner')
    }

    It 'that is a junction is removed as a junction and replaced by a private folder; its target survives unchanged' {
        $sentinel = New-Sentinel 'JunctionTarget'
        $folder = Join-Path $script:TestRoot 'IsJunction'
        $null = New-Item -ItemType Junction -Path $folder -Value $sentinel.Folder

        $result = Initialize-SecuredFolder -Path $folder

        "$($result.Outcome): $($result.Reason)" | Should -BeExactly 'TakenOver: it was a link'
        Assert-PrivateFolder $folder
        Test-Exists (Join-Path $folder 'slot1.sav') | Should -BeFalse
        Assert-SentinelIntact $sentinel
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
            Assert-PrivateFolder (Join-Path $env:ProgramData $folder)
        }
        $script:LogPath | Should -Be (Join-Path $logs 'Setup-20260304-050607.log')
        [System.IO.File]::WriteAllText($script:LogPath, 'left over')
        Set-TestSecurity $script:LogPath ('O:{0}D:P(A;;FA;;;{0})(A;;FA;;;BU)' -f $script:MySid)

        Initialize-SetupFolders

        (Get-Item -LiteralPath $script:LogPath).Length | Should -Be 0
        Assert-InheritingItem $script:LogPath
    }
}
