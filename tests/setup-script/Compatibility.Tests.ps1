# Players run the setup script on Windows PowerShell 5.1 while these tests run on
# PowerShell 7. This suite parses the script and refuses what 5.1 cannot run, and checks the
# bytes of its parts and of the script the build puts together from them, which the
# executable embeds unchanged.

BeforeDiscovery {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    $script:PartCases = @(Get-SetupScriptPartPaths | ForEach-Object { @{ Part = (Split-Path -Leaf $_); Path = $_ } })
}

BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')

    $script:Parameters7Only = @{
        'ForEach-Object' = @('Parallel', 'ThrottleLimit', 'AsJob', 'TimeoutSeconds', 'UseNewRunspace')
        'ConvertFrom-Json' = @('AsHashtable', 'NoEnumerate', 'Depth')
        'ConvertTo-Json' = @('EnumsAsStrings', 'AsArray', 'EscapeHandling')
        'Get-Content' = @('AsByteStream')
        'Set-Content' = @('AsByteStream')
        'Add-Content' = @('AsByteStream')
        'Join-Path' = @('AdditionalChildPath')
        'Select-Object' = @('SkipIndex')
        'Get-ChildItem' = @('FollowSymlink')
        'Import-Module' = @('UseWindowsPowerShell', 'SkipEditionCheck')
        'Start-Process' = @('Environment')
        'Invoke-WebRequest' = @('SkipCertificateCheck', 'Resume', 'SslProtocol', 'Authentication', 'SkipHttpErrorCheck')
        'Invoke-RestMethod' = @('SkipCertificateCheck', 'Resume', 'SslProtocol', 'Authentication', 'SkipHttpErrorCheck')
        'Test-Connection' = @('TargetName', 'TcpPort')
    }
    $script:Commands7Only = @('Get-Error', 'Join-String', 'Test-Json', 'Get-Uptime', 'Remove-Alias', 'Remove-Service',
        'ConvertFrom-Markdown', 'Show-Markdown', 'Get-MarkdownOption', 'Set-MarkdownOption', 'ConvertTo-CliXml',
        'ConvertFrom-CliXml', 'Get-SecureRandom', 'Test-ScriptFileInfo', 'Clear-RecycleBin')
    $script:Variables7Only = @('IsWindows', 'IsLinux', 'IsMacOS', 'IsCoreCLR', 'PSStyle', 'EnabledExperimentalFeatures')
    $script:EncodingNames7Only = @('utf8BOM', 'utf8NoBOM', 'ansi')
    # Writing files through cmdlets gives different bytes in 5.1 and 7; the script writes
    # through .NET with an explicit encoding instead.
    $script:FileWriters = @('Set-Content', 'Add-Content', 'Out-File', 'Export-Csv', 'Tee-Object', 'sc', 'ac')

    # Returns a description of every construct in the given script text that Windows
    # PowerShell 5.1 cannot run or runs differently; empty when there is none.
    function Find-PowerShell7Construct {
        param([Parameter(Mandatory = $true)][string]$ScriptText)
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseInput($ScriptText, [ref]$tokens, [ref]$errors)
        foreach ($parseError in @($errors)) { "parse error: $($parseError.Message)" }

        foreach ($token in @($tokens)) {
            switch ($token.Kind.ToString()) {
                'QuestionQuestion' { "'??' at line $($token.Extent.StartLineNumber)" }
                'QuestionQuestionEquals' { "'??=' at line $($token.Extent.StartLineNumber)" }
                'QuestionDot' { "'?.' at line $($token.Extent.StartLineNumber)" }
                'QuestionLBracket' { "'?[' at line $($token.Extent.StartLineNumber)" }
            }
            if ($token.Kind -eq 'StringExpandable' -and $token.Text -match '`u\{') {
                ('unicode escape at line ' + $token.Extent.StartLineNumber)
            }
        }

        $found = $ast.FindAll({ $true }, $true)
        foreach ($node in $found) {
            $line = $node.Extent.StartLineNumber
            $typeName = $node.GetType().Name
            if ($typeName -eq 'TernaryExpressionAst') { "ternary operator at line $line" }
            if ($typeName -eq 'PipelineChainAst') { "'&&' or '||' at line $line" }
            if ($typeName -eq 'PipelineAst' -and $node.PSObject.Properties['Background'] -and $node.Background) { "background '&' at line $line" }
            if ($typeName -eq 'ScriptBlockAst' -and $node.PSObject.Properties['CleanBlock'] -and $null -ne $node.CleanBlock) { "clean block at line $line" }
            if ($typeName -eq 'VariableExpressionAst' -and $script:Variables7Only -contains $node.VariablePath.UserPath) { "`$$($node.VariablePath.UserPath) at line $line" }
            if ($typeName -eq 'CommandAst') {
                $name = $node.GetCommandName()
                if ($null -eq $name) { continue }
                if ($script:Commands7Only -contains $name) { "$name at line $line" }
                if ($name -eq '%' -or $name -eq 'foreach') { $name = 'ForEach-Object' }
                if ($script:FileWriters -contains $name) { "$name writes a file with edition-dependent bytes at line $line" }
                $elements = @($node.CommandElements)
                for ($i = 1; $i -lt $elements.Count; $i++) {
                    $element = $elements[$i]
                    if ($element -isnot [System.Management.Automation.Language.CommandParameterAst]) { continue }
                    $parameter = $element.ParameterName
                    foreach ($entry in $script:Parameters7Only.GetEnumerator()) {
                        if ($entry.Key -ne $name) { continue }
                        foreach ($newParameter in $entry.Value) {
                            if ($newParameter.StartsWith($parameter, [StringComparison]::OrdinalIgnoreCase)) { "$name -$newParameter at line $line" }
                        }
                    }
                    if ('Encoding'.StartsWith($parameter, [StringComparison]::OrdinalIgnoreCase) -and $parameter.Length -ge 2) {
                        $value = $element.Argument
                        if ($null -eq $value -and $i + 1 -lt $elements.Count) { $value = $elements[$i + 1] }
                        if ($null -ne $value -and $script:EncodingNames7Only -contains ($value.Extent.Text.Trim("'", '"'))) { "-Encoding $($value.Extent.Text) at line $line" }
                    }
                }
                if ($name -eq 'Join-Path') {
                    $positional = @($elements | Select-Object -Skip 1 | Where-Object { $_ -isnot [System.Management.Automation.Language.CommandParameterAst] })
                    $named = @($elements | Where-Object { $_ -is [System.Management.Automation.Language.CommandParameterAst] })
                    if ($positional.Count - $named.Count -gt 2) { "Join-Path with more than two parts at line $line" }
                }
            }
            if ($typeName -eq 'FileRedirectionAst') {
                $target = $node.Location.Extent.Text
                if ($target -ne '$null') { "redirection to a file at line $line" }
            }
        }
    }
}

Describe 'The check for PowerShell 7 constructs' {
    It 'finds <Construct>' -ForEach @(
        @{ Construct = 'a ternary'; Text = '$a = $b ? 1 : 2' }
        @{ Construct = '&&'; Text = 'Get-Item x && Get-Item y' }
        @{ Construct = '||'; Text = 'Get-Item x || Get-Item y' }
        @{ Construct = '??'; Text = '$a = $b ?? 1' }
        @{ Construct = '??='; Text = '$a ??= 1' }
        @{ Construct = '?.'; Text = '${a}?.Length' }
        @{ Construct = '?['; Text = '${a}?[0]' }
        @{ Construct = 'a background job'; Text = 'Start-Sleep 1 &' }
        @{ Construct = 'a clean block'; Text = 'function f { process { 1 } clean { 2 } }' }
        @{ Construct = 'a `u{} escape'; Text = '$a = "`u{2713}"' }
        @{ Construct = 'ForEach-Object -Parallel'; Text = '1..3 | ForEach-Object -Parallel { $_ }' }
        @{ Construct = 'an abbreviated -Parallel'; Text = '1..3 | % -Par { $_ }' }
        @{ Construct = '-Encoding utf8NoBOM'; Text = 'Get-Content x -Encoding utf8NoBOM' }
        @{ Construct = '-Encoding:utf8BOM'; Text = 'Get-Content x -Encoding:utf8BOM' }
        @{ Construct = '-AsByteStream'; Text = 'Get-Content x -AsByteStream' }
        @{ Construct = 'Join-Path with three parts'; Text = 'Join-Path a b c' }
        @{ Construct = 'Join-String'; Text = '1,2 | Join-String -Separator ","' }
        @{ Construct = 'Get-Error'; Text = 'Get-Error' }
        @{ Construct = 'Test-Json'; Text = 'Test-Json -Json "{}"' }
        @{ Construct = 'ConvertFrom-Json -AsHashtable'; Text = '"{}" | ConvertFrom-Json -AsHashtable' }
        @{ Construct = '$IsWindows'; Text = 'if ($IsWindows) { 1 }' }
        @{ Construct = '$PSStyle'; Text = '$PSStyle.Reset' }
        @{ Construct = 'Set-Content'; Text = 'Set-Content -Path x -Value y -Encoding UTF8' }
        @{ Construct = 'Out-File'; Text = '"x" | Out-File report.txt' }
        @{ Construct = 'a redirection to a file'; Text = 'Get-Item x > out.txt' }
        @{ Construct = 'a syntax error'; Text = 'function f {' }
    ) {
        @(Find-PowerShell7Construct -ScriptText $Text).Count | Should -BeGreaterThan 0
    }

    It 'accepts ordinary 5.1 code' {
        $text = @'
$items = @(Get-ChildItem -LiteralPath $env:TEMP -ErrorAction SilentlyContinue)
if ($items.Count -gt 0 -and $null -ne $items[0]) { Join-Path $env:TEMP 'x' }
$null = Get-Item x 2>$null
[System.IO.File]::WriteAllText('x', 'y', (New-Object System.Text.UTF8Encoding $true))
'@
        @(Find-PowerShell7Construct -ScriptText $text) | Should -BeNullOrEmpty
    }
}

Describe 'The setup script file' {
    BeforeAll {
        $script:bytes = [System.IO.File]::ReadAllBytes($SetupScriptPath)
    }

    It 'uses nothing that Windows PowerShell 5.1 lacks' {
        $text = [System.IO.File]::ReadAllText($SetupScriptPath)
        @(Find-PowerShell7Construct -ScriptText $text) | Should -BeNullOrEmpty
    }

    It 'begins with the UTF-8 byte-order mark' {
        $script:bytes[0..2] | Should -Be @(0xEF, 0xBB, 0xBF)
    }

    It 'has LF line ends only and ends with one' {
        $script:bytes -contains 13 | Should -BeFalse
        $script:bytes[-1] | Should -Be 10
    }

    It 'is valid UTF-8' {
        $strict = New-Object System.Text.UTF8Encoding($true, $true)
        { $null = $strict.GetString($script:bytes) } | Should -Not -Throw
    }

    It 'calls exit only in its last statement' {
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($SetupScriptPath, [ref]$tokens, [ref]$errors)
        $exits = @($ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.ExitStatementAst] }, $true))
        $exits.Count | Should -Be 1
        $last = $ast.EndBlock.Statements[$ast.EndBlock.Statements.Count - 1]
        $last.Extent.StartOffset | Should -BeLessOrEqual $exits[0].Extent.StartOffset
        $last.Extent.EndOffset | Should -BeGreaterOrEqual $exits[0].Extent.EndOffset
    }

    It 'sets strict mode 2.0, "Stop" and no progress bars before anything else runs' {
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($SetupScriptPath, [ref]$tokens, [ref]$errors)
        $first = @($ast.EndBlock.Statements | Select-Object -First 3 | ForEach-Object { $_.Extent.Text })
        $first | Should -Be @('Set-StrictMode -Version 2.0', "`$ErrorActionPreference = 'Stop'", "`$ProgressPreference = 'SilentlyContinue'")
    }
}

Describe 'The setup script''s parts' {
    It '<Part> is UTF-8 with a byte-order mark, LF line ends and a final LF, and opens with its comment' -ForEach $PartCases {
        $bytes = [System.IO.File]::ReadAllBytes($Path)
        $bytes[0..2] | Should -Be @(0xEF, 0xBB, 0xBF)
        $bytes -contains 13 | Should -BeFalse
        $bytes[-1] | Should -Be 10
        $strict = New-Object System.Text.UTF8Encoding($true, $true)
        $text = $strict.GetString($bytes, 3, $bytes.Length - 3)
        $text | Should -Match '^## \S'
    }

    It 'are what the assembled script holds, in the listed order (a stale build fails here)' {
        $expected = Join-SetupScriptParts -Paths @(Get-SetupScriptPartPaths)
        $actual = [System.IO.File]::ReadAllBytes($SetupScriptPath)
        $same = [Convert]::ToBase64String($actual) -ceq [Convert]::ToBase64String($expected)
        $because = '{0} must be the parts put together as they are now: run ./build.sh' -f $SetupScriptPath
        $same | Should -BeTrue -Because $because
    }

    It 'define every function above the statement that calls it while the script loads' {
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($SetupScriptPath, [ref]$null, [ref]$null)
        $statements = @($ast.EndBlock.Statements)
        $defined = @{}
        foreach ($statement in $statements) {
            if ($statement -is [System.Management.Automation.Language.FunctionDefinitionAst]) {
                $defined[$statement.Name] = $statement.Extent.StartOffset
            }
        }
        $late = @()
        foreach ($statement in $statements) {
            if ($statement -is [System.Management.Automation.Language.FunctionDefinitionAst]) { continue }
            $calls = $statement.FindAll({ param($node) $node -is [System.Management.Automation.Language.CommandAst] }, $true)
            foreach ($call in @($calls)) {
                $name = $call.GetCommandName()
                if ($null -ne $name -and $defined.ContainsKey($name) -and $defined[$name] -gt $statement.Extent.StartOffset) {
                    $late += ('{0} (called at line {1})' -f $name, $call.Extent.StartLineNumber)
                }
            }
        }
        $late | Should -BeNullOrEmpty
        # The main sequence is the script's last statement.
        $statements[-1].Extent.Text | Should -Match 'Invoke-SetupSequence'
    }
}

