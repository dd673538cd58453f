BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    $script:AdminsSid = 'S-1-5-32-544'
    $script:SystemSid = 'S-1-5-18'
    $script:UsersSid = 'S-1-5-32-545'
    $script:TrustedInstallerSid = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'

    # The four folders of a run on a machine, parents first.
    function Get-RunFolders {
        param($Machine)
        $vendor = Join-Path $Machine.ProgramData 'ORVELLE'
        $base = Join-Path $vendor 'Game Support'
        return @($vendor, $base, (Join-Path $base 'Downloads'), (Join-Path $base 'Logs'))
    }

    # A folder set up by hand the way this tool sets up its own: Downloads and Reports private,
    # the others readable by Users.
    function Set-PrivateFolder {
        param($Machine, [string]$Path, [string]$Owner = $script:AdminsSid)
        Set-FakePrivateFolder $Machine -Path $Path -Owner $Owner -Private:((Split-Path -Leaf $Path) -match '^(Downloads|Reports)')
    }

    # Checks that a folder holds exactly the protection this tool gives its folders: SYSTEM and
    # Administrators full control, and Users read and execute unless it is -Private.
    function Assert-PrivateFolder {
        param($Machine, [string]$Path, [switch]$Private)
        (Get-FolderItemAttributes -Path $Path) | Should -Be ([System.IO.FileAttributes]::Directory)
        $record = Get-FakeFolderSecurity $Machine -Path $Path
        $record.Owner | Should -Be $script:AdminsSid
        $record.Protected | Should -BeTrue
        $expected = @("$script:SystemSid 1f01ff True OICI", "$script:AdminsSid 1f01ff True OICI")
        if (-not $Private) { $expected += "$script:UsersSid 1200a9 True OICI" }
        @($record.Access | ForEach-Object { '{0} {1:x} {2} {3}' -f $_.Sid, $_.Rights, $_.Allow, $_.Flags }) | Should -Be $expected
    }

    # A folder outside ProgramData with a file in it, which a planted link points to.
    function New-Sentinel {
        param($Machine)
        $folder = Join-Path $Machine.Root 'Users/Player/Documents/Saves'
        $file = New-FakeFile (Join-Path $folder 'slot1.sav') -Content 'precious'
        return [pscustomobject]@{ Folder = $folder; File = $file }
    }

    function Assert-SentinelIntact {
        param($Machine, $Sentinel)
        (Get-FolderItemAttributes -Path $Sentinel.Folder) | Should -Be ([System.IO.FileAttributes]::Directory)
        [System.IO.File]::ReadAllText($Sentinel.File) | Should -BeExactly 'precious'
        @($Machine.FolderChanges | Where-Object { $_ -like "*$($Sentinel.Folder)*" }) | Should -BeNullOrEmpty
    }
}

Describe 'Setting up the work and log folders' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        $machine.Clock = [datetime]'2026-03-04T05:06:07'
        Use-FakeWindows $machine
        $folders = Get-RunFolders $machine
        $logFile = Join-Path $folders[3] 'Setup-20260304-050607.log'
    }
    AfterEach { Reset-FakeWindows }

    It 'on a fresh machine creates ORVELLE, Game Support, Downloads and Logs in that order, each private from its creation' {
        Initialize-SetupFolders
        @($machine.FolderChanges) | Should -Be @($folders | ForEach-Object { "create $_" })
        foreach ($folder in $folders) {
            Assert-PrivateFolder $machine $folder -Private:($folder -eq $folders[2])
            Get-FolderSafetyProblem -Path $folder | Should -BeExactly ''
        }
        $script:WorkDir | Should -Be $folders[2]
        $script:LogPath | Should -Be $logFile
        (Get-Item -LiteralPath $logFile).Length | Should -Be 0
        # Each level is held, through the handle it was checked with, until the run ends.
        @($machine.OpenHandles | ForEach-Object { $_.Path }) | Should -Be $folders
        Close-HeldFolders
        $machine.OpenHandles | Should -BeNullOrEmpty
    }

    It 'writes its log under another name when another program holds a log file of the same name open' {
        foreach ($folder in $folders) { Set-PrivateFolder $machine $folder }
        $held = New-FakeFile $logFile -Content 'an earlier run in the same second, open in an editor'
        Set-FakeHeldFile $machine -Path $held

        Initialize-SetupFolders

        $script:LogPath | Should -Be (Join-Path $folders[3] ('Setup-20260304-050607-{0}.log' -f (Get-FakeRandomTail 1)))
        (Get-Item -LiteralPath $script:LogPath).Length | Should -Be 0
        [System.IO.File]::ReadAllText($held) | Should -BeExactly 'an earlier run in the same second, open in an editor'
    }

    It 'on a later run finds its folders private, changes nothing and keeps the cached downloads' {
        Initialize-SetupFolders
        $cached = New-FakeFile (Join-Path $folders[2] 'vc_redist.x64.exe') -Content 'cached'
        $machine.FolderChanges.Clear()
        Reset-SetupState
        Initialize-SetupFolders
        @($machine.FolderChanges) | Should -BeNullOrEmpty
        [System.IO.File]::ReadAllText($cached) | Should -BeExactly 'cached'
        Get-LogLines | Should -BeNullOrEmpty
    }

    It 'replaces a leftover <Leftover> of the log file''s name with a new empty file, leaving any link target alone' -ForEach @(
        @{ Leftover = 'file' }
        @{ Leftover = 'link to a file elsewhere' }
    ) {
        foreach ($folder in $folders) { Set-PrivateFolder $machine $folder }
        $sentinel = New-Sentinel $machine
        if ($Leftover -eq 'file') {
            $null = New-FakeFile $logFile -Content 'an earlier run in the same second'
        } else {
            New-TestLink -Path $logFile -Target $sentinel.File
        }
        Initialize-SetupFolders
        Test-IsLinkAttribute -Attributes (Get-FolderItemAttributes -Path $logFile) | Should -BeFalse
        (Get-Item -LiteralPath $logFile).Length | Should -Be 0
        Assert-SentinelIntact $machine $sentinel
    }

    It 'sets aside a standard user''s tree, logs why once the log file exists, and keeps the private levels above it' {
        foreach ($folder in $folders[0..1]) { Set-PrivateFolder $machine $folder }
        Set-FakeFolderSecurity $machine -Path $folders[2]
        $null = New-FakeFile (Join-Path $folders[2] 'version.dll')
        Initialize-SetupFolders
        $aside = "$($folders[2]).untrusted-20260304-050607-$(Get-FakeRandomTail 1)"
        Get-LogLines | Should -Be @("[WARN] Set aside $($folders[2]) as $aside because it is owned by $FakePlayerSid; a new private folder takes its place.")
        @($machine.FolderChanges) | Should -Be @("set aside $($folders[2]) as $aside", "create $($folders[2])", "create $($folders[3])")
        @(Get-ChildItem -LiteralPath $folders[2] -Force) | Should -BeNullOrEmpty
        Test-Path -LiteralPath (Join-Path $aside 'version.dll') | Should -BeTrue
    }

    It 'logs into a fresh private folder beside a log folder it cannot set aside, writing nothing into the blocked one' {
        foreach ($folder in $folders[0..2]) { Set-PrivateFolder $machine $folder }
        Set-FakeFolderSecurity $machine -Path $folders[3] -RefuseMove 'Access to the path is denied.'
        Initialize-SetupFolders
        # The first random name went to the set-aside that was refused.
        $fallback = "$($folders[3]).$(Get-FakeRandomTail 2)"
        $script:LogPath | Should -Be (Join-Path $fallback 'Setup-20260304-050607.log')
        Assert-PrivateFolder $machine $fallback
        @($script:Warnings) | Should -Be @("The folder $($folders[3]) could not be secured (Access to the path is denied.); this run used $fallback instead.")
        Get-LogLines | Should -Be @("[WARN] $($script:Warnings[0])")
        @(Get-ChildItem -LiteralPath $folders[3] -Force) | Should -BeNullOrEmpty
    }

    It 'uses the fresh folders the launcher ran it from when they are private (<Private>), the usual ones otherwise' -ForEach @(
        @{ Private = $true }
        @{ Private = $false }
    ) {
        $launcherVendor = "$($folders[0]).00000000000000aa"
        $launcherProduct = Join-Path $launcherVendor 'Game Support'
        Set-PrivateFolder $machine $launcherVendor
        if ($Private) { Set-PrivateFolder $machine $launcherProduct } else { Set-FakeFolderSecurity $machine -Path $launcherProduct }
        Mock Get-ScriptFilePath { Join-Path $launcherProduct ('Bootstrap/ORVELLE-Prerequisites-{0}-4242.ps1' -f $script:ToolVersion) }
        Initialize-SetupFolders
        $expected = $folders[2]
        if ($Private) { $expected = Join-Path $launcherProduct 'Downloads' }
        $script:WorkDir | Should -Be $expected
        $script:Warnings | Should -BeNullOrEmpty
    }

    It 'ends the run through the fatal handler when ProgramData cannot hold any private folder' {
        Mock New-DiagnosticReport { 'report.txt' }
        Mock Show-CompletionMessage { }
        Remove-Item -LiteralPath $machine.ProgramData -Recurse -Force
        $script:exitCode = $null
        $null = Get-ConsoleLines { $script:exitCode = Invoke-SetupSequence }
        $script:exitCode | Should -Be 1
        @($script:Failures).Count | Should -Be 1
        $script:Failures[0] | Should -BeLike "Fatal error: The folder $($folders[0]) could not be secured: *; no private folder could be made beside it: *"
    }
}

Describe 'Judging a folder that already exists' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
        $folder = Join-Path $machine.ProgramData 'ORVELLE'
    }
    AfterEach { Reset-FakeWindows }

    It 'accepts the owner <Name>' -ForEach @(
        @{ Name = 'Administrators'; Sid = 'S-1-5-32-544' }
        @{ Name = 'SYSTEM'; Sid = 'S-1-5-18' }
        @{ Name = 'TrustedInstaller'; Sid = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464' }
    ) {
        Set-PrivateFolder $machine $folder -Owner $Sid
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly ''
    }

    It 'refuses a folder owned by a standard user even when its permissions are private' {
        Set-PrivateFolder $machine $folder -Owner $FakePlayerSid
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly "it is owned by $FakePlayerSid"
    }

    It '<Verdict> a folder on which <Who> is allowed <Right>' -ForEach @(
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write data / add file'; Rights = 0x2 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'append data / add subfolder'; Rights = 0x4 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write extended attributes'; Rights = 0x10 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'delete child'; Rights = 0x40 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write attributes'; Rights = 0x100 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'delete'; Rights = 0x10000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write DAC'; Rights = 0x40000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'write owner'; Rights = 0x80000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'generic write'; Rights = 0x40000000 }
        @{ Verdict = 'refuses'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'generic all'; Rights = 0x10000000 }
        @{ Verdict = 'refuses'; Who = 'Everyone'; Sid = 'S-1-1-0'; Right = 'modify'; Rights = 0x301BF }
        @{ Verdict = 'refuses'; Who = 'CREATOR OWNER'; Sid = 'S-1-3-0'; Right = 'full control'; Rights = 0x1F01FF }
        @{ Verdict = 'refuses'; Who = 'a standard user'; Sid = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Right = 'full control'; Rights = 0x1F01FF }
        @{ Verdict = 'accepts'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'read and execute'; Rights = 0x1200A9 }
        @{ Verdict = 'accepts'; Who = 'Users'; Sid = 'S-1-5-32-545'; Right = 'generic read and execute'; Rights = [long][int]-1610612736 }
        @{ Verdict = 'accepts'; Who = 'TrustedInstaller'; Sid = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'; Right = 'full control'; Rights = 0x1F01FF }
    ) {
        Set-FakeFolderSecurity $machine -Path $folder -Owner 'S-1-5-32-544' -Access @(
            @{ Sid = 'S-1-5-32-544'; Rights = 0x1F01FF; Allow = $true },
            @{ Sid = $Sid; Rights = $Rights; Allow = $true })
        $expected = ''
        if ($Verdict -eq 'refuses') { $expected = "$Sid may change it" }
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly $expected
    }

    It 'accepts a folder that denies Users full control' {
        Set-PrivateFolder $machine $folder
        $machine.FolderSecurity[$folder].Access += [pscustomobject]@{ Sid = $UsersSid; Rights = [long]0x1F01FF; Allow = $false }
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly ''
    }

    It 'refuses a link to a private folder as <Expected>, and a file of the folder''s name' -ForEach @(
        @{ Kind = 'link'; Expected = 'it is a link' }
        @{ Kind = 'file'; Expected = 'a file of that name is in the way' }
    ) {
        $private = Join-Path $machine.ProgramData 'Elsewhere'
        Set-PrivateFolder $machine $private
        if ($Kind -eq 'link') { New-TestLink -Path $folder -Target $private } else { $null = New-FakeFile $folder }
        Get-FolderSafetyProblem -Path $folder | Should -BeExactly $Expected
    }
}

Describe 'Securing a folder that already exists' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        $machine.Clock = [datetime]'2026-12-08T14:30:00'
        Use-FakeWindows $machine
        $folder = Join-Path $machine.ProgramData 'ORVELLE'
        $aside = "$folder.untrusted-20261208-143000-$(Get-FakeRandomTail 1)"
        $sentinel = New-Sentinel $machine
    }
    AfterEach { Reset-FakeWindows }

    It 'sets aside <Scenario> with everything in it untouched and creates a fresh private folder' -ForEach @(
        @{ Scenario = 'a folder a standard user made before the first run'; Owner = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Access = $null; Reason = 'it is owned by S-1-5-21-1004336348-1177238915-682003330-1001' }
        @{ Scenario = 'an Administrators folder still open to Users from ProgramData'; Owner = 'S-1-5-32-544'; Access = $null; Reason = 'S-1-3-0 may change it' }
        @{ Scenario = 'a folder whose owner shut administrators out'; Owner = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Access = @(@{ Sid = 'S-1-5-21-1004336348-1177238915-682003330-1001'; Rights = 0x1F01FF; Allow = $true }); Reason = 'it is owned by S-1-5-21-1004336348-1177238915-682003330-1001' }
        @{ Scenario = 'a folder whose permissions administrators cannot read'; Owner = ''; Access = $null; Reason = 'its permissions cannot be read: Attempted to perform an unauthorized operation.' }
    ) {
        if ($Owner -eq '') { Set-FakeFolderSecurity $machine -Path $folder -Unreadable 'Attempted to perform an unauthorized operation.' }
        elseif ($null -eq $Access) { Set-FakeFolderSecurity $machine -Path $folder -Owner $Owner }
        else { Set-FakeFolderSecurity $machine -Path $folder -Owner $Owner -Access $Access -Protected $true }
        $planted = New-FakeFile (Join-Path $folder 'Game Support/Downloads/vc14-latest-x64.exe') -Content 'planted'
        New-TestLink -Path (Join-Path $folder 'Saves') -Target $sentinel.Folder

        $result = Initialize-SecuredFolder -Path $folder

        $result.Outcome | Should -Be 'Replaced'
        $result.Notes | Should -Be @("Set aside $folder as $aside because $Reason; a new private folder takes its place.")
        Assert-PrivateFolder $machine $folder
        @(Get-ChildItem -LiteralPath $folder -Force) | Should -BeNullOrEmpty
        [System.IO.File]::ReadAllText((Join-Path $aside 'Game Support/Downloads/vc14-latest-x64.exe')) | Should -BeExactly 'planted'
        Test-IsLinkAttribute -Attributes (Get-FolderItemAttributes -Path (Join-Path $aside 'Saves')) | Should -BeTrue
        @($machine.FolderChanges) | Should -Be @("set aside $folder as $aside", "create $folder")
        Assert-SentinelIntact $machine $sentinel
    }

    It 'leaves a folder that is already private exactly as it is' {
        Set-PrivateFolder $machine $folder
        $null = New-FakeFile (Join-Path $folder 'Game Support/Logs/Setup-20260101-000000.log')
        $result = Initialize-SecuredFolder -Path $folder
        $result.Outcome | Should -Be 'Verified'
        $result.Notes | Should -BeNullOrEmpty
        @($machine.FolderChanges) | Should -BeNullOrEmpty
    }

    It 'replaces a <Kind> where the folder belongs by a new private folder, without following it' -ForEach @(
        @{ Kind = 'link to a folder elsewhere' }
        @{ Kind = 'link to a file elsewhere' }
        @{ Kind = 'dangling link' }
    ) {
        $target = @{ 'link to a folder elsewhere' = $sentinel.Folder; 'link to a file elsewhere' = $sentinel.File; 'dangling link' = (Join-Path $machine.Root 'nowhere') }[$Kind]
        New-TestLink -Path $folder -Target $target
        $result = Initialize-SecuredFolder -Path $folder
        $result.Outcome | Should -Be 'Replaced'
        $result.Notes | Should -Be @("Removed the link at $folder; a new private folder takes its place.")
        Assert-PrivateFolder $machine $folder
        @($machine.FolderChanges) | Should -Be @("create $folder")
        Assert-SentinelIntact $machine $sentinel
        Test-Path -LiteralPath (Join-Path $machine.Root 'nowhere') | Should -BeFalse
    }

    It 'uses a fresh private folder beside it when <Problem>, and stops only when none can be made' -ForEach @(
        @{ Problem = 'another user''s process holds it open'; Reason = 'Access to the path is denied.' }
        @{ Problem = 'someone re-creates it after every set-aside'; Reason = 'it was still not private after 3 attempts: it is owned by S-1-5-21-1004336348-1177238915-682003330-1001' }
    ) {
        if ($Problem -like '*open') { Set-FakeFolderSecurity $machine -Path $folder -RefuseMove $Reason }
        else { Mock New-FolderWithSecurity -ParameterFilter { $Path -eq $folder } { $null = New-Item -ItemType Directory -Path $Path } }
        $result = Initialize-SecuredFolder -Path $folder
        $fallback = $result.Path
        $fallback | Should -Match ('^' + [regex]::Escape($folder) + '\.[0-9a-f]{16}$')
        $result.Outcome | Should -Be 'Fallback'
        $result.Warning | Should -BeExactly "The folder $folder could not be secured ($Reason); this run used $fallback instead."
        Assert-PrivateFolder $machine $fallback
        if ($Problem -like '*re-creates*') {
            # The last folder found is left where it is: two copies set aside, not three.
            @(Get-ChildItem -LiteralPath $machine.ProgramData -Directory -Filter 'ORVELLE.untrusted-*').Count | Should -Be 2
        }

        Mock New-FolderWithSecurity { throw 'Access to the path is denied.' }
        { Initialize-SecuredFolder -Path $folder } | Should -Throw -ExpectedMessage "The folder $folder could not be secured: $Reason; no private folder could be made beside it: Access to the path is denied."
    }

    It 'gives a private folder (Downloads, Reports) no entry for standard users when it <Case>' -ForEach @(
        @{ Case = 'is new'; Found = $false }
        @{ Case = 'was left readable by Users by an earlier version, keeping what is in it'; Found = $true }
    ) {
        if ($Found) {
            Set-FakePrivateFolder $machine -Path $folder
            $cached = New-FakeFile (Join-Path $folder 'vc2013-x86.exe') -Content 'cached'
        }

        $result = Initialize-SecuredFolder -Path $folder -Access Private

        Assert-PrivateFolder $machine $folder -Private
        $result.Path | Should -Be $folder
        if ($Found) {
            $result.Outcome | Should -Be 'Verified'
            $result.Notes | Should -Be @("Made $folder private to administrators because $UsersSid may read it.")
            @($machine.FolderChanges) | Should -Be @("secure $folder")
            [System.IO.File]::ReadAllText($cached) | Should -BeExactly 'cached'
        } else {
            @($machine.FolderChanges) | Should -Be @("create $folder")
        }
    }

    It 'judges a level through the one handle it keeps, so that another user cannot swap it <When>' -ForEach @(
        @{ When = 'while its permissions are read'; Step = 'security' }
        @{ When = 'the moment the check lets go of it'; Step = 'closed' }
    ) {
        # The other user made ORVELLE and now tries to put a link to a folder of the
        # administrators' in its place, so that it passes for theirs.
        Set-FakeFolderSecurity $machine -Path $folder
        $adminFolder = Join-Path $machine.ProgramData 'Microsoft/Crypto'
        Set-FakePrivateFolder $machine -Path $adminFolder
        $script:swapped = $false
        $machine.OnFolderStep = {
            param($Step, $Path)
            if ($Step -eq $script:swapStep -and $Path -eq $script:swapFolder -and -not $script:swapped) {
                $script:swapped = $true
                Move-FakeFolderAsOtherUser -Machine $script:FakeMachine -Path $script:swapFolder -NewPath "$($script:swapFolder).mine" -LinkTarget $script:swapTarget
            }
        }
        $script:swapStep = $Step
        $script:swapFolder = $folder
        $script:swapTarget = $adminFolder
        if ($Step -eq 'closed') {
            # Nothing holds the folder then: the swap puts its link in place.
            Skip-WithoutTestLinks -Folder $machine.Root
        }

        $result = Initialize-SecuredFolder -Path $folder
        $null = Initialize-SecuredFolder -Path (Join-Path $result.Path 'Game Support')

        $script:swapped | Should -BeTrue
        $result.Path | Should -Be $folder
        Assert-PrivateFolder $machine $folder
        Test-IsLinkAttribute -Attributes (Get-FolderItemAttributes -Path $folder) | Should -BeFalse
        @(Get-ChildItem -LiteralPath $adminFolder -Force) | Should -BeNullOrEmpty
        if ($Step -eq 'security') {
            @($machine.FolderChanges) | Should -Contain "refused to another user: move $folder"
            $result.Notes | Should -Be @("Set aside $folder as $aside because it is owned by $FakePlayerSid; a new private folder takes its place.")
        }
    }

    It 'checks a folder that someone else created just before it, instead of trusting its own creation' {
        $script:raced = $false
        Mock New-FolderWithSecurity {
            if (-not $script:raced) {
                $script:raced = $true
                $null = New-Item -ItemType Directory -Path $Path
                return
            }
            $null = [System.IO.Directory]::CreateDirectory($Path)
            $script:FakeMachine.FolderSecurity[$Path] = ConvertFrom-FakeSddl -Sddl $Sddl
        }
        $result = Initialize-SecuredFolder -Path $folder
        $result.Notes | Should -Be @("Set aside $folder as $aside because it is owned by $FakePlayerSid; a new private folder takes its place.")
        Assert-PrivateFolder $machine $folder
    }
}

Describe 'Names nobody can take in advance' {
    It 'draws 16 hex digits from the system''s random generator, different at every draw' {
        $tails = @(1..4 | ForEach-Object { Get-RandomHexTail })
        foreach ($tail in $tails) { $tail | Should -MatchExactly '^[0-9a-f]{16}$' }
        @($tails | Sort-Object -Unique).Count | Should -Be 4
    }
}

Describe 'The owners a secured folder may have' {
    It 'names TrustedInstaller by the SID Windows derives from its service name' {
        # NT SERVICE\<name>: S-1-5-80 and the first five little-endian 32-bit words of the
        # SHA-1 of the upper-case service name in UTF-16LE.
        $sha1 = [System.Security.Cryptography.SHA1]::Create()
        try { $digest = $sha1.ComputeHash([System.Text.Encoding]::Unicode.GetBytes('TRUSTEDINSTALLER')) } finally { $sha1.Dispose() }
        $words = foreach ($i in 0..4) { [System.BitConverter]::ToUInt32($digest, 4 * $i) }
        $derived = 'S-1-5-80-' + ($words -join '-')
        $script:TrustedInstallerSid | Should -BeExactly $derived
        $script:SecuredFolderOwners | Should -Contain $derived
    }
}

Describe 'Names shared with the launcher' {
    # The launcher's GoogleTest suite checks its own names against the same file.
    It 'sets one folder aside, and makes a fresh one beside it, under the names the launcher gives them' {
        $script:Example = @{}
        foreach ($line in [System.IO.File]::ReadAllLines((Join-Path $PSScriptRoot '../shared/set-aside-names.txt'))) {
            if ($line -match '^([a-z-]+)=(.*)$') { $script:Example[$Matches[1]] = $Matches[2] }
        }
        Mock Get-Date { [datetime]::ParseExact($script:Example['local-time'], 'yyyy-MM-dd HH:mm:ss', [Globalization.CultureInfo]::InvariantCulture) }
        Mock Get-RandomHexTail { $script:Example['random-hex'] }
        Mock Get-FolderItemAttributes { $null }
        Mock New-FolderWithSecurity { }
        Mock Open-CheckedFolder { [pscustomobject]@{ Handle = 'held'; Attributes = [System.IO.FileAttributes]::Directory; Problem = ''; ReadProblem = '' } }
        Mock Close-FolderHandle { }

        Get-SetAsidePath -Path $script:Example['folder'] | Should -BeExactly $script:Example['set-aside']
        New-PrivateFolder -Stem $script:Example['folder'] | Should -BeExactly $script:Example['fallback']
    }
}
